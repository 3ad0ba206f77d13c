// Evidence of life from the pixels inside a track's box: a still thing (a
// tripod, a cone, a sign post) stays the same from one frame to the next,
// a person walking does not, even one who walks straight at the camera and
// hardly moves across the picture.
//
// With "tracker_min_change" (grey levels, 0: off), each frame the pixels
// inside the box of every track that has not shown life yet are compared
// with the same place in the previous frame (both scaled to 16 x 32); a
// frame on which they differ by more than that on average counts, and
// after "tracker_change_frames" such frames (3 unless set) the tracker is
// told the track is alive (Tracker::MarkAlive). Frames on which the box
// overlaps the box of a track that has shown life are not judged: someone
// passing in front of a still thing changes its pixels. The tracker hides a
// track until then (with the other minimum-travel keys, any evidence suffices).
//
// Example (pipeline config map):
//   properties { key: "tracker_min_change" value { integer_value: 12 } }
//
// Not thread-safe: the frame step uses it.
#ifndef VISION_OBJECTS_PIXEL_LIVENESS_H_
#define VISION_OBJECTS_PIXEL_LIVENESS_H_

#include <cstdint>
#include <unordered_map>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/config/entity_config.h"
#include "vision/tracking/tracker.h"

namespace talvenrook_vision {

class PixelLiveness {
 public:
  void Configure(const Entity& config);
  bool enabled() const { return min_change_ > 0; }

  // Judges the tracker's tracks that have not shown life yet on `frame`
  // against the frame before it.
  void Judge(const cv::Mat& frame, Tracker* tracker);
  void Forget(const std::vector<int32_t>& track_ids);

  // The mean absolute grey difference of one place of two frames, scaled
  // to the patch size; -1 when the place lies outside either.
  static double Change(const cv::Mat& before, const cv::Mat& now,
                       const cv::Rect& box);

 private:
  double min_change_ = 0.0;
  int32_t frames_needed_ = 3;
  cv::Mat previous_;                             // grey
  std::unordered_map<int32_t, int32_t> lively_;  // frames of change, by id
};

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_PIXEL_LIVENESS_H_
