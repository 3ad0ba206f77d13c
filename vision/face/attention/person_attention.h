// Person attention: whether a person seen by the face-and-person detector
// pays attention, and for how long.
//
// Three modules share one interface; the configuration chooses one:
//  - point attention ("attention_point" present): the person looks while
//    approaching the point (or standing still) inside the check radius, or
//    whenever inside the looking radius;
//  - flow attention (an attention ROI with "angle_threshold" and
//    "angle_flow"): the person's box moves, by the optical flow of the ROI,
//    in the given direction and faster than "module_threshold";
//  - ROI attention (otherwise): the person's box lies inside an attention
//    ROI.
// Each keeps per person the decision and the attention time (the rule of
// AttentionTimer), and forgets a person when told to.
//
// Example configuration (the detector's map, protobuf text format):
//   properties { key: "attention_rois" value { array_value { values {
//     entity_value {
//       properties { key: "x" value { integer_value: 0 } }
//       properties { key: "y" value { integer_value: 0 } }
//       properties { key: "width" value { integer_value: 640 } }
//       properties { key: "height" value { integer_value: 480 } }
//       properties { key: "angle_flow" value { integer_value: 90 } }
//       properties { key: "angle_threshold" value { integer_value: 45 } }
//   } } } } }
//   properties { key: "attention_point" value { entity_value {
//     properties { key: "x" value { integer_value: 320 } }
//     properties { key: "y" value { integer_value: 400 } }
//     properties { key: "distance_check_direction" value { integer_value: 200 }
//     }
//   } } }
//
// Not thread-safe: used from the pipeline's result thread.
#ifndef VISION_FACE_ATTENTION_PERSON_ATTENTION_H_
#define VISION_FACE_ATTENTION_PERSON_ATTENTION_H_

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/config/entity_config.h"
#include "vision/face/attention/attention_timer.h"
#include "vision/tracking/tracking_clock.h"

namespace talvenrook_vision {

struct AttentionRoi {
  cv::Rect rect;
  bool has_flow = false;  // "angle_threshold" and "angle_flow" both given
  int32_t angle_threshold = 0;
  int32_t angle_flow = 0;
  double module_threshold = -1.0;
  int32_t feature_points = 500;
};

struct AttentionPoint {
  cv::Point point;
  int32_t check_distance = -1;          // "distance_check_direction"
  int32_t force_looking_distance = -1;  // "distance_force_looking"
  int32_t samples = 2;
};

struct AttentionSettings {
  std::vector<AttentionRoi> rois;
  bool has_point = false;
  AttentionPoint point;
};

// Reads "attention_rois" (rectangles; an element missing a rectangle key is
// reported and left out) with their optional flow keys, and
// "attention_point". "module_threshold" and "optical_feature_points" may
// stand in an ROI's map or in the configuration map itself (the ROI's
// value wins).
AttentionSettings ReadAttentionSettings(const Entity& config);
// The parts of the above. An ROI's map: its rectangle and the keys that
// replace `defaults`. A list element missing a rectangle key is reported
// and left out.
AttentionRoi ReadAttentionRoi(const Entity& map, const AttentionRoi& defaults);
std::vector<AttentionRoi> ReadAttentionRois(const ArrayValue& list,
                                            const AttentionRoi& defaults);
// "x", "y", "distance_check_direction", "distance_force_looking", "samples".
AttentionPoint ReadAttentionPoint(const Entity& map);

class PersonAttention {
 public:
  virtual ~PersonAttention() = default;

  // Called once per frame before the persons of that frame are updated.
  virtual void BeginFrame(const cv::Mat& frame, int64_t frame_number) {}
  // The person's looking decision for this frame; updates its attention
  // time.
  virtual bool Update(int32_t person_id, const cv::Rect& box) = 0;
  virtual void Forget(int32_t person_id) { timer_.Forget(person_id); }

  double AttentionTime(int32_t person_id) const {
    return timer_.Seconds(person_id);
  }
  bool Has(int32_t person_id) const { return timer_.Has(person_id); }

 protected:
  explicit PersonAttention(const TrackingClock* clock) : timer_(clock) {}

  AttentionTimer timer_;
};

// Looking while the box lies entirely inside one of the ROIs.
class RoiAttention : public PersonAttention {
 public:
  RoiAttention(std::vector<cv::Rect> rois, const TrackingClock* clock);
  bool Update(int32_t person_id, const cv::Rect& box) override;

 private:
  std::vector<cv::Rect> rois_;
};

// Running mean d of the distance between the box centre and the point over
// at most `samples` updates. First update: looking when d <= the check
// radius. Later: looking when d did not grow and d <= the check radius, or
// d <= the looking radius. Update returns the decision of the previous
// update (the first update returns its own).
class PointAttention : public PersonAttention {
 public:
  PointAttention(const AttentionPoint& point, const TrackingClock* clock);
  bool Update(int32_t person_id, const cv::Rect& box) override;
  void Forget(int32_t person_id) override;

 private:
  struct Person {
    int32_t count = 0;
    double mean = 0.0;
    bool decision = false;
  };

  AttentionPoint point_;
  std::unordered_map<int32_t, Person> persons_;
};

// The module chosen by the settings (see the file comment).
// Requires: clock outlives the module.
std::unique_ptr<PersonAttention> CreatePersonAttention(
    const AttentionSettings& settings,
    const TrackingClock* clock = TrackingClock::System());

}  // namespace talvenrook_vision

#endif  // VISION_FACE_ATTENTION_PERSON_ATTENTION_H_
