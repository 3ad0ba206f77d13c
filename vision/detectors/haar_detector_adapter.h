// HaarDetectorAdapter: the DetectorAdapter over an OpenCV cascade
// classifier, for models of type "HAAR" and "HAAR-NIGHT" (registry name
// "HAAR"). It reports boxes only (no confidences, no labels); PushFrame
// detects at once and keeps the result; PopDetections returns the oldest
// kept result (an empty list when none is kept). At most 5 results are
// kept; PushFrame and PopDetections may run on two threads.
//
// Example model map:
//   properties { key: "type" value { string_value: "HAAR" } }
//   properties { key: "version" value { string_value: "1" } }
//   properties { key: "engine" value { string_value: "OPENCV" } }
//   properties { key: "content" value { entity_value {
//     properties { key: "cascade" value { blob_value: "<?xml ..." } } } } }
//   properties { key: "config" value { entity_value {
//     properties { key: "scale_factor" value { double_value: 1.1 } }
//     properties { key: "min_neighbors" value { integer_value: 2 } }
//     properties { key: "min_size" value { integer_value: 30 } }
//     properties { key: "max_size" value { integer_value: 250 } } } } }
#ifndef VISION_DETECTORS_HAAR_DETECTOR_ADAPTER_H_
#define VISION_DETECTORS_HAAR_DETECTOR_ADAPTER_H_

#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <opencv2/objdetect.hpp>

#include "vision/detectors/detector_adapter.h"

namespace talvenrook_vision {

class HaarDetectorAdapter : public DetectorAdapter {
 public:
  HaarDetectorAdapter() = default;

  // Requires "type", "version" and "content" (each missing one is
  // reported); "cascade" of "content" is read with GetProperty.
  bool Configure(const KestuEyeConfig& config, const Entity& model) override;
  DetectionList Detect(const cv::Mat& frame) override;
  absl::StatusOr<bool> TryPushFrame(const cv::Mat& frame) override;
  DetectionList PopDetections() override;
  std::string Label(int index) const override { return ""; }

 private:
  cv::CascadeClassifier cascade_;
  double scale_factor_ = 1.1;
  int32_t min_neighbors_ = 2;
  int32_t min_size_ = 30;
  int32_t max_size_ = 250;
  std::mutex pushed_mutex_;
  std::deque<DetectionList> pushed_;  // guarded by pushed_mutex_
};

std::unique_ptr<DetectorAdapter> CreateHaarDetectorAdapter(
    const KestuEyeConfig& config, const Entity& model);

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_HAAR_DETECTOR_ADAPTER_H_
