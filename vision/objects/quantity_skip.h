// QuantitySkip: how often the vehicle pipeline re-classifies a car whose
// class vote already exists, depending on how uncertain the vote still is.
//
// The uncertainty p (0 certain, 1 uncertain) falls in one of n equal bands
// of [0, 1], n being the length of the list; band j covers [j/n, (j+1)/n].
// The bands are visited in order, and the first band j that holds p and
// whose period list[j] divides the frame counter says "classify now". With
// [30, 5, 1] a certain vote is refreshed every 30 frames, an uncertain one
// on every frame; p = 1/3 lies in bands 0 and 1, so it is classified on
// multiples of 30 by band 0 and otherwise on multiples of 5 by band 1.
//
// Example (pipeline config map):
//   properties { key: "quantity_skip_obj" value { array_value {
//     values { integer_value: 30 } values { integer_value: 5 }
//     values { integer_value: 1 } } } }
#ifndef VISION_OBJECTS_QUANTITY_SKIP_H_
#define VISION_OBJECTS_QUANTITY_SKIP_H_

#include <cstdint>
#include <vector>

#include "vision/config/entity_config.h"

namespace talvenrook_vision {

class QuantitySkip {
 public:
  // Appends the elements of "quantity_skip_obj" when present. Elements are
  // periods in frames; one of 0 or below (or of another kind) is read as 1,
  // every frame, with a WARNING.
  void Configure(const Entity& config);
  void Append(int32_t period);

  // True when a vote of this uncertainty is to be refreshed on this frame.
  // Always false with an empty list.
  bool ClassifyNow(float uncertainty, int64_t frame_counter) const;

  const std::vector<int32_t>& periods() const { return periods_; }

 private:
  std::vector<int32_t> periods_;
};

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_QUANTITY_SKIP_H_
