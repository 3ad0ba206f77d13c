// Distance of an object from the camera from its box width, with a pinhole
// model: distance = sqrt(f_over_s^2 + offset^2) x real size / box width,
// the offset being the distance between the box centre and the centre of a
// reference rectangle (0 without one). Sizes are per class name, in the
// unit the distance is wanted in (metres by default: a face is 0.19 wide, a
// person 0.45).
//
// Example pipeline configuration (protobuf text format):
//   properties { key: "distance_estimation" value { entity_value {
//     properties { key: "f_over_s" value { double_value: 900 } }
//     properties { key: "object_sizes" value { array_value { values {
//       entity_value {
//         properties { key: "class" value { string_value: "car" } }
//         properties { key: "size" value { double_value: 1.8 } } } } } } }
//   } } }
#ifndef VISION_ANALYTICS_DISTANCE_ESTIMATOR_H_
#define VISION_ANALYTICS_DISTANCE_ESTIMATOR_H_

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/config/entity_config.h"
#include "vision/config/key_table.h"

namespace talvenrook_vision {

class DistanceEstimator {
 public:
  // The keys of a "distance_estimation" map, and of each element of its
  // "object_sizes".
  struct Settings {
    double f_over_s = 0.0;
    std::vector<std::pair<std::string, double>> sizes;  // in list order
  };
  struct ObjectSize {
    std::string class_name;
    double size = 0.0;
  };
  static const KeyTable<Settings>& Keys();
  static const KeyTable<ObjectSize>& SizeKeys();

  // The estimator of a "distance_estimation" map. "f_over_s", and "class"
  // and "size" of every "object_sizes" element, are required: a missing one
  // throws the missing-property error.
  static std::unique_ptr<DistanceEstimator> FromConfig(const Entity& map);

  explicit DistanceEstimator(double f_over_s);

  void SetSize(const std::string& class_name, double size) {
    sizes_[class_name] = size;
  }

  // -1 for a class without a size, and for a box without width.
  double EstimateDistance(const cv::Rect& box, const std::string& class_name,
                          const cv::Rect& reference = cv::Rect()) const;

  double f_over_s() const { return f_over_s_; }
  const std::map<std::string, double>& sizes() const { return sizes_; }

 private:
  double f_over_s_;
  std::map<std::string, double> sizes_;
};

}  // namespace talvenrook_vision

#endif  // VISION_ANALYTICS_DISTANCE_ESTIMATOR_H_
