// Motion gating of the object pipelines: a region's detector runs only on
// frames where something moved in it, and on every max_skip-th frame of a
// still scene (so that a person who stands still is looked for again).
//
// Motion is judged per region by a MotionGrid over the region's grey crop,
// compared with the previous frame: the region moves when the cells that
// changed, leaving out those on objects already followed (the boxes given
// as covered, grown by a tenth on every side), cover at least min_area of
// it. So a person who stands and sways does not wake the detector, while
// someone coming in, or a followed person walking out of their box, does. The
// grid's own keys
// ("motion_sampling_step", "motion_diff_threshold", "motion_box_size") are
// read from the same map, with defaults for gating (every 4th pixel, a
// difference of 25, cells of about 32 pixels). The first frame of every
// region is always detected.
//
// Example pipeline configuration:
//   properties { key: "motion_gating" value { boolean_value: true } }
//   properties { key: "motion_gating_min_area" value { double_value: 0.005 } }
//   properties { key: "motion_gating_max_skip" value { integer_value: 10 } }
//
// Not thread-safe; one Decide per frame, from one thread.
#ifndef VISION_OBJECTS_MOTION_GATE_H_
#define VISION_OBJECTS_MOTION_GATE_H_

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/config/entity_config.h"
#include "vision/tracking/motion_grid.h"

namespace talvenrook_vision {

class MotionGate {
 public:
  // Reads the keys; gating stays off without "motion_gating" true. Bad
  // values are reported on standard error and keep the defaults.
  void Configure(const Entity& config, size_t regions);
  bool enabled() const { return enabled_; }

  // For each region (frame pixels, clipped to the frame), 1 when its
  // detector is to run on this frame. Without gating every region runs.
  // covered, when given, holds per region the boxes (frame pixels) of the
  // objects followed there.
  const std::vector<char>& Decide(
      const cv::Mat& frame, const std::vector<cv::Rect>& regions,
      const std::vector<std::vector<cv::Rect>>* covered = nullptr);

  // Region-frames detected and skipped since Configure.
  int64_t detected() const { return detected_; }
  int64_t skipped() const { return skipped_; }
  double min_area() const { return min_area_; }
  int32_t max_skip() const { return max_skip_; }

 private:
  bool enabled_ = false;
  double min_area_ = 0.005;
  int32_t max_skip_ = 10;
  // The grid's keys for gating: every 4th pixel, a difference of 25,
  // cells of about 32 pixels, unless the map says otherwise.
  static constexpr int32_t kGatingStep = 4;
  static constexpr int32_t kGatingDifference = 25;
  static constexpr int32_t kGatingCell = 32;
  MotionGrid::Settings grid_;
  std::vector<MotionGrid> grids_;
  std::vector<int32_t> since_detection_;  // frames, per region
  std::vector<char> run_;
  cv::Mat grey_;
  std::vector<cv::Rect> grown_;  // scratch: covered boxes in crop pixels
  int64_t detected_ = 0;
  int64_t skipped_ = 0;
};

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_MOTION_GATE_H_
