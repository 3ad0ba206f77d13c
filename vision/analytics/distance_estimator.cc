#include "vision/analytics/distance_estimator.h"

#include <cmath>

#include "vision/tracking/track.h"

namespace talvenrook_vision {

std::unique_ptr<DistanceEstimator> DistanceEstimator::FromConfig(
    const Entity& map) {
  double f_over_s = 0.0;
  ConvertValue(GetProperty(map, "f_over_s"), &f_over_s);
  auto estimator = std::make_unique<DistanceEstimator>(f_over_s);
  ArrayValue sizes;
  ReadPropertyIfPresent(map, "object_sizes", &sizes);
  for (const Value& element : sizes.values()) {
    const Entity& entry = AsEntity(element);
    std::string class_name;
    double size = 0.0;
    ConvertValue(GetProperty(entry, "class"), &class_name);
    ConvertValue(GetProperty(entry, "size"), &size);
    estimator->SetSize(class_name, size);
  }
  return estimator;
}

DistanceEstimator::DistanceEstimator(double f_over_s)
    : f_over_s_(f_over_s), sizes_{{"face", 0.19}, {"person", 0.45}} {}

double DistanceEstimator::EstimateDistance(const cv::Rect& box,
                                           const std::string& class_name,
                                           const cv::Rect& reference) const {
  const auto size = sizes_.find(class_name);
  // A box without width would divide by zero.
  if (size == sizes_.end() || box.width <= 0) return -1.0;
  double offset = 0.0;
  if (reference.width > 0 && reference.height > 0) {
    const cv::Point d = BoxCenter(box) - BoxCenter(reference);
    offset = std::hypot(d.x, d.y);
  }
  return std::sqrt(f_over_s_ * f_over_s_ + offset * offset) * size->second /
         box.width;
}

}  // namespace talvenrook_vision
