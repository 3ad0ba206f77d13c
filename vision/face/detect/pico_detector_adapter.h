// PicoDetectorAdapter: the pico cascade face detector of the face pipeline
// (model type "PICOFACE").
//
// Every 20th frame (frame numbers that are multiples of 20) it searches the
// whole frame; on the other frames only the cells where the MotionGrid saw
// movement, and nothing when nothing moved. Every face is enlarged about its
// centre by 1.15 and scored 1.0.
//
// Example model map ("cascade" holds the cascade file's bytes):
//   properties { key: "type" value { string_value: "PICOFACE" } }
//   properties { key: "engine" value { string_value: "PICO" } }
//   properties { key: "config" value { entity_value {
//     properties { key: "threshold_shift" value { double_value: 0.0 } }
//     properties { key: "rotation" value { double_value: 0.0 } } } } }
//   properties { key: "content" value { entity_value {
//     properties { key: "cascade" value { blob_value: "..." } } } } }
// and in the pipeline config map the engine keys (PicoEngine) and the
// motion keys (MotionGrid): "motion_sampling_step", "motion_diff_threshold",
// "motion_box_size".
//
// Not thread-safe: used from the pipeline's detection thread.
#ifndef VISION_FACE_DETECT_PICO_DETECTOR_ADAPTER_H_
#define VISION_FACE_DETECT_PICO_DETECTOR_ADAPTER_H_

#include <cstdint>
#include <vector>

#include "vision/face/detect/face_detector_interface.h"
#include "vision/face/detect/pico_engine.h"
#include "vision/tracking/motion_grid.h"

namespace talvenrook_vision {

class PicoDetectorAdapter : public IDetector {
 public:
  static constexpr int64_t kFullFramePeriod = 20;
  static constexpr double kEnlargement = 1.15;

  // Writes "Loading PICO Detection". "threshold_shift" and "rotation" in
  // "config" and "cascade" in "content" are required
  // (MissingPropertyError). Always true; a refused cascade finds nothing.
  bool Load(const KestuEyeConfig& config, const Entity& model) override;
  FaceFinds Detect(const cv::Mat& frame, const cv::Mat& grey,
                   int64_t frame_number) override;
  std::vector<cv::Rect> Regions() const override { return regions_; }

  PicoEngine& engine() { return engine_; }
  MotionGrid& motion_grid() { return motion_; }

  // The box enlarged about its centre by kEnlargement, truncated.
  static cv::Rect Enlarge(const cv::Rect& box);

 private:
  PicoEngine engine_;
  MotionGrid motion_;
  std::vector<cv::Rect> regions_;
  cv::Mat grey_;  // scratch, when Detect is given no grey frame
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_DETECT_PICO_DETECTOR_ADAPTER_H_
