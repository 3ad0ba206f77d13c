// Tells where something moves between two grey frames, cell by cell.
//
// The frame is cut into a grid of cells of about `motion_box_size` pixels
// (the cell size divides the frame evenly; a remainder strip at the right or
// bottom edge belongs to no cell). A cell moves when one of the pixels
// sampled every `motion_sampling_step` rows and columns differs from the
// previous frame by more than `motion_diff_threshold`. The first frame, and
// a frame whose size changed, move in every cell.
//
// Example configuration (detector config map, protobuf text format):
//   properties { key: "motion_sampling_step" value { integer_value: 10 } }
//   properties { key: "motion_diff_threshold" value { integer_value: 40 } }
//   properties { key: "motion_box_size" value { integer_value: 240 } }
#ifndef VISION_TRACKING_MOTION_GRID_H_
#define VISION_TRACKING_MOTION_GRID_H_

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/config/key_table.h"

namespace talvenrook_vision {

class MotionGrid {
 public:
  // The three keys. Motion gating of the object pipelines reads the same
  // keys over defaults of its own.
  struct Settings {
    int32_t motion_sampling_step = 10;
    int32_t motion_diff_threshold = 40;
    int32_t motion_box_size = 240;
  };
  // Built on first use; safe to call from any thread.
  static const KeyTable<Settings>& Keys();

  // Reads the three keys; absent keys keep their defaults. A step below 1
  // becomes 1; a cell size below 1 makes the whole frame one cell.
  void Configure(const Entity& config);
  void Configure(const Settings& settings);

  // The cells that moved since the previous frame, in row-major order.
  // `frame` is 8-bit grey (a 3-channel frame is converted). The returned
  // list is valid until the next call.
  const std::vector<cv::Rect>& Boxes(const cv::Mat& frame);

  int32_t sampling_step() const { return step_; }
  int32_t diff_threshold() const { return threshold_; }
  int32_t box_size() const { return size_; }

 private:
  bool CellMoved(const cv::Mat& grey, const cv::Rect& cell) const;

  int32_t step_ = 10;
  int32_t threshold_ = 40;
  int32_t size_ = 240;
  cv::Mat previous_;
  cv::Mat grey_;  // conversion scratch
  std::vector<cv::Rect> boxes_;
};

}  // namespace talvenrook_vision

#endif  // VISION_TRACKING_MOTION_GRID_H_
