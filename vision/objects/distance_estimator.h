// DistanceEstimator: the distance of an object from the camera, from the
// width of its box, the focal length in pixels and the object's real size.
//
// distance = sqrt(f_over_s^2 + offset^2) x size / box width, where offset
// is the distance in pixels between the box centre and the centre of a
// reference rectangle (0 without one). The unit is that of the sizes
// (metres by default: a face is 0.19 wide, a person 0.45).
//
// Example (pipeline config map):
//   properties { key: "distance_estimation" value { entity_value {
//     properties { key: "f_over_s" value { double_value: 900 } }
//     properties { key: "object_sizes" value { array_value {
//       values { entity_value {
//         properties { key: "class" value { string_value: "car" } }
//         properties { key: "size" value { double_value: 1.8 } } } } } } }
//   } } }
#ifndef VISION_OBJECTS_DISTANCE_ESTIMATOR_H_
#define VISION_OBJECTS_DISTANCE_ESTIMATOR_H_

#include <map>
#include <string>

#include <opencv2/core.hpp>

#include "vision/config/entity_config.h"

namespace talvenrook_vision {

class DistanceEstimator {
 public:
  DistanceEstimator();

  // Reads the "distance_estimation" map: "f_over_s" is required, and every
  // element of "object_sizes" needs "class" and "size" (MissingPropertyError
  // otherwise).
  void Configure(const Entity& distance_map);

  // -1 for a class without a size or a box without width.
  double Estimate(const cv::Rect& box, const std::string& class_name,
                  const cv::Rect& reference = cv::Rect()) const;

  double f_over_s() const { return f_over_s_; }
  const std::map<std::string, double>& sizes() const { return sizes_; }

 private:
  double f_over_s_ = 0.0;
  std::map<std::string, double> sizes_;
};

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_DISTANCE_ESTIMATOR_H_
