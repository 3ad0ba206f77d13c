// Roi: one region of interest with its day and night detector adapters;
// FrameRecord, what a region set cuts out of one frame for a region; and
// PendingFrame, what a push left for the pop of one region.
//
// Example ROI map (one element of "rois"):
//   properties { key: "x" value { integer_value: 0 } }
//   properties { key: "y" value { integer_value: 100 } }
//   properties { key: "width" value { integer_value: 640 } }
//   properties { key: "height" value { integer_value: 380 } }
//   properties { key: "model" value { entity_value {
//     properties { key: "type" value { string_value: "SSD" } }
//     properties { key: "version" value { string_value: "2" } } } } }
//   properties { key: "model_night" value { entity_value {
//     properties { key: "type" value { string_value: "SSD-NIGHT" } }
//     properties { key: "version" value { string_value: "1" } } } } }
#ifndef VISION_REGIONS_ROI_H_
#define VISION_REGIONS_ROI_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include <opencv2/core.hpp>

#include "absl/status/status.h"
#include "vision/config/key_table.h"
#include "vision/detectors/detector_adapter.h"

namespace talvenrook_vision {

struct FrameRecord {
  cv::Mat frame;
  cv::Rect crop_rect;
  cv::Mat crop;  // a view into frame
};

// One pushed frame of a region: the adapter that received it, so that it
// delivers the detections even when day and night switched since, the crop
// rectangle, and the push's refusal, if any.
struct PendingFrame {
  DetectorAdapter* adapter = nullptr;  // none: nothing to pop
  cv::Rect crop;
  absl::Status status;  // OpenCV's reason when it refused the crop
};

class Roi {
 public:
  // The keys of one element of "rois".
  struct Settings {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
    Entity model;
    Entity model_night;
  };
  // Built on first use; safe to call from any thread.
  static const KeyTable<Settings>& Keys();

  explicit Roi(int32_t index) : index_(index) {}

  // Reads the rectangle (absent or non-integer members read 0) and loads
  // the day and night adapters, with their messages. A slot without a
  // model of its own takes the first "SSD" ("SSD-NIGHT") model, or the
  // first "YOLO" ("YOLO-NIGHT") one when there is no SSD model of the kind.
  // A model that matched but could not be loaded leaves the reason in
  // load_error().
  void Configure(const Entity& roi_map, const KestuEyeConfig& config);
  // "day detector: Could not load the model ...", or empty.
  const std::string& load_error() const { return load_error_; }

  // Night adapter when night is wanted and one exists, else the day
  // adapter (may be null).
  DetectorAdapter* ActiveAdapter() const;
  void SetNight(bool night);
  // The region of a frame of this size: the configured rectangle (the whole
  // frame for a width or height of 0 or less) cut at the frame's edges.
  cv::Rect RegionOf(const cv::Size& frame_size) const;
  // The region of the frame, also stored as the effective rectangle.
  FrameRecord Crop(const cv::Mat& frame);

  int32_t index() const { return index_; }
  bool night() const { return night_; }
  const cv::Rect& configured_rect() const { return configured_; }
  // The region cut from the last frame pushed or detected on.
  cv::Rect effective_rect() const;
  DetectorAdapter* day_adapter() const { return day_.get(); }
  DetectorAdapter* night_adapter() const { return night_adapter_.get(); }

 private:
  std::atomic<bool> night_{false};  // written by the producer, read by Draw
  cv::Rect configured_;
  mutable std::mutex effective_mutex_;  // guards effective_
  cv::Rect effective_;                  // written by the producer
  std::string load_error_;
  std::unique_ptr<DetectorAdapter> day_;
  std::unique_ptr<DetectorAdapter> night_adapter_;
  int32_t index_;
};

}  // namespace talvenrook_vision

#endif  // VISION_REGIONS_ROI_H_
