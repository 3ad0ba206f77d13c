// The per-region filtering of the object pipeline, applied to each region's
// DetectionList before tracking or output.
//
// 1. Class filter: with a non-empty keep-set (and boxes and labels), the
//    entries are visited from the last to the first and every entry whose
//    label is not kept is replaced by the current last entry.
// 2. Suppression: non-maximum suppression over all boxes regardless of
//    class (score threshold 0, overlap threshold 0.2 unless the pipeline
//    key "suppression_overlap_threshold" sets another); walking the indexes
//    from the highest to the lowest, every suppressed entry is replaced by
//    the current last entry. Entries [A, B, C, D, E] of which A, C and D
//    survive come out as A, D, C.
//
// Lists whose confidences or labels are shorter than their boxes are left
// as they are by the step that needs them. Not thread-safe (scratch).
#ifndef VISION_OBJECTS_DETECTION_FILTER_H_
#define VISION_OBJECTS_DETECTION_FILTER_H_

#include <cstdint>
#include <set>
#include <vector>

#include "vision/detectors/detection_list.h"

namespace talvenrook_vision {

class DetectionFilter {
 public:
  static constexpr float kOverlapThreshold = 0.2f;

  void set_keep(std::set<int32_t> keep) { keep_ = std::move(keep); }
  // Boxes that overlap a better one by more than this are dropped; people
  // close together overlap more than the default allows.
  void set_overlap_threshold(float overlap) { overlap_threshold_ = overlap; }
  float overlap_threshold() const { return overlap_threshold_; }
  const std::set<int32_t>& keep() const { return keep_; }

  // Both steps, in order.
  void Apply(DetectionList* list);
  void FilterClasses(DetectionList* list) const;
  void Suppress(DetectionList* list);

 private:
  std::set<int32_t> keep_;  // empty keeps every class
  float overlap_threshold_ = kOverlapThreshold;
  std::vector<int> kept_;  // scratch of Suppress
};

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_DETECTION_FILTER_H_
