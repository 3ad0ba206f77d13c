// ClaheEnhancer: the optional contrast enhancement of the crowd and vehicle
// pipelines (contrast-limited adaptive histogram equalisation of the
// lightness channel).
//
// Configured from the pipeline's "clahe" map. "clip_limit",
// "tiles_grid_size_x" and "tiles_grid_size_y" are checked as a group: each
// missing key writes "ERROR: Property <key> was not found" and leaves the
// enhancement off. A complete group requires "use_at_night" and
// "use_at_day" (MissingPropertyError otherwise) and writes
// "INFO: Using CLAHE algorithm.".
//
// Decision for a moment of day m (0 unknown, 1 day, 2 night): enhance when
// (use at night and (use at day or m = 2)) or (use at day and m = 1).
//
// Example (pipeline config map):
//   properties { key: "clahe" value { entity_value {
//     properties { key: "clip_limit" value { double_value: 2.0 } }
//     properties { key: "tiles_grid_size_x" value { integer_value: 8 } }
//     properties { key: "tiles_grid_size_y" value { integer_value: 8 } }
//     properties { key: "use_at_night" value { boolean_value: true } }
//     properties { key: "use_at_day" value { boolean_value: false } }
//   } } }
//
// Not thread-safe: one enhancer per pipeline, used on the thread that
// judges the moment of day.
#ifndef VISION_OBJECTS_CLAHE_ENHANCER_H_
#define VISION_OBJECTS_CLAHE_ENHANCER_H_

#include <opencv2/imgproc.hpp>

#include "vision/config/entity_config.h"

namespace talvenrook_vision {

class ClaheEnhancer {
 public:
  // Reads the "clahe" map of the pipeline's config map, when present.
  void Configure(const Entity& config);
  bool ShouldEnhance(int moment_of_day) const;
  // The frame to analyse: an enhanced copy when the decision says so
  // (converted to L*a*b*, CLAHE on the lightness only, back to BGR), else
  // the frame itself. The incoming frame is never changed.
  cv::Mat Apply(const cv::Mat& frame, int moment_of_day);

  bool enabled() const { return enabled_; }
  bool use_at_night() const { return use_at_night_; }
  bool use_at_day() const { return use_at_day_; }

 private:
  cv::Ptr<cv::CLAHE> clahe_;
  bool enabled_ = false;
  bool use_at_night_ = false;
  bool use_at_day_ = false;
  // Scratch images.
  cv::Mat lab_;
  cv::Mat channels_[3];
};

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_CLAHE_ENHANCER_H_
