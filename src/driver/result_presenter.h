#ifndef SRC_DRIVER_RESULT_PRESENTER_H_
#define SRC_DRIVER_RESULT_PRESENTER_H_

#include <memory>
#include <mutex>

#include <opencv2/core.hpp>

#include "src/driver/driver_kind.h"

namespace vostek_kestu {

// The kind's settings of the last configuration: written by the thread that
// applies configurations, read by the frame step's.
//
// Thread-safe.
class KindOptionsSlot {
 public:
  KindOptionsSlot& operator=(std::shared_ptr<const KindOptions> options) {
    std::lock_guard<std::mutex> lock(mutex_);
    options_ = std::move(options);
    return *this;
  }
  // Null before any configuration.
  std::shared_ptr<const KindOptions> get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return options_;
  }

 private:
  mutable std::mutex mutex_;  // guards options_ (the pointer)
  std::shared_ptr<const KindOptions> options_;
};

// How a driver's kind shows its results: the log line of a published result
// (the result in protobuf text format for a kind without one, after
// "New Detection:\n") and the drawing of a frame's result, both with the
// kind's settings of the last configuration.
//
// Threads: any; the settings are read once per call.
class ResultPresenter {
 public:
  // `kind`, `options` and `detections` outlive the presenter.
  ResultPresenter(const DriverKind* kind, const KindOptionsSlot* options,
                  const DetectionStore* detections)
      : kind_(kind), options_(options), detections_(detections) {}

  void LogDetection(const VisionResult& result) const;
  // Draws with the context's pipeline, font size and frame number, and the
  // kind's settings and replayed results.
  void Draw(DrawContext context, const VisionResult& result,
            cv::Mat& image) const;

 private:
  const DriverKind* const kind_;
  const KindOptionsSlot* const options_;
  const DetectionStore* const detections_;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_RESULT_PRESENTER_H_
