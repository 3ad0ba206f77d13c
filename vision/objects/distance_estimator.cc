#include "vision/objects/distance_estimator.h"

#include <cmath>

namespace talvenrook_vision {

DistanceEstimator::DistanceEstimator()
    : sizes_{{"face", 0.19}, {"person", 0.45}} {}

void DistanceEstimator::Configure(const Entity& distance_map) {
  ConvertValue(GetProperty(distance_map, "f_over_s"), &f_over_s_);
  ArrayValue sizes;
  if (!ReadPropertyIfPresent(distance_map, "object_sizes", &sizes)) return;
  for (const Value& element : sizes.values()) {
    const Entity& entry = AsEntity(element);
    std::string name;
    double size = 0.0;
    ConvertValue(GetProperty(entry, "class"), &name);
    ConvertValue(GetProperty(entry, "size"), &size);
    sizes_[name] = size;
  }
}

double DistanceEstimator::Estimate(const cv::Rect& box,
                                   const std::string& class_name,
                                   const cv::Rect& reference) const {
  auto it = sizes_.find(class_name);
  if (it == sizes_.end()) return -1.0;
  // A box without width has no distance (instead of a division by zero).
  if (box.width <= 0) return -1.0;
  double offset = 0.0;
  if (reference.width > 0 && reference.height > 0) {
    const double dx = (box.x + box.width / 2) - (reference.x + reference.width / 2);
    const double dy =
        (box.y + box.height / 2) - (reference.y + reference.height / 2);
    offset = std::sqrt(dx * dx + dy * dy);
  }
  return std::sqrt(f_over_s_ * f_over_s_ + offset * offset) * it->second /
         box.width;
}

}  // namespace talvenrook_vision
