#include "vision/objects/detection_filter.h"

#include <algorithm>

#include <opencv2/dnn.hpp>

namespace talvenrook_vision {
namespace {

// Replaces entry i by the last entry and drops the last one; every list
// that has an entry i takes part.
void RemoveByMovingLast(DetectionList* list, size_t i) {
  auto move_last = [i](auto& v) {
    if (i >= v.size()) return;
    v[i] = v.back();
    v.pop_back();
  };
  move_last(list->boxes);
  move_last(list->confidences);
  move_last(list->labels);
}

}  // namespace

void DetectionFilter::Apply(DetectionList* list) {
  FilterClasses(list);
  Suppress(list);
}

void DetectionFilter::FilterClasses(DetectionList* list) const {
  if (keep_.empty() || list->boxes.empty() || list->labels.empty()) return;
  if (list->labels.size() != list->boxes.size()) return;
  for (size_t i = list->boxes.size(); i-- > 0;) {
    if (keep_.count(list->labels[i]) == 0) RemoveByMovingLast(list, i);
  }
}

void DetectionFilter::Suppress(DetectionList* list) {
  if (list->boxes.empty() || list->confidences.empty()) return;
  if (list->confidences.size() != list->boxes.size()) return;
  kept_.clear();
  cv::dnn::NMSBoxes(list->boxes, list->confidences, 0.0f, overlap_threshold_,
                    kept_, 1.0f, 0);
  std::sort(kept_.begin(), kept_.end());
  for (size_t i = list->boxes.size(); i-- > 0;) {
    if (!std::binary_search(kept_.begin(), kept_.end(), static_cast<int>(i)))
      RemoveByMovingLast(list, i);
  }
}

}  // namespace talvenrook_vision
