// The classifiers of the vehicle pipeline: FamilyCarDetector ("family_car")
// classifies cars, IsVehicleDetector ("is_vehicle") confirms detections as
// vehicles. Both are BaseDetectors that differ only in ClassifyRegion:
// unless the skip flag is set, the region of the frame (cut at the frame's
// edges) is classified and its (class, confidence) stored for the track
// without any threshold, then voted; either way the track's current label
// (Label(track, recent)) is returned.
//
// Example model map (engine "CAFFE", type "IS_VEHICLE" or "FAMILY_CAR"):
//   properties { key: "type" value { string_value: "IS_VEHICLE" } }
//   properties { key: "engine" value { string_value: "CAFFE" } }
//   properties { key: "content" value { entity_value {
//     properties { key: "prototxt_file" value { string_value: "v.prototxt" } }
//     properties { key: "caffemodel_file" value { string_value: "v.caffemodel"
//     } } properties { key: "labels" value { array_value {
//       values { string_value: "vehicle" } values { string_value: "other" } } }
//       } } } }
//   properties { key: "config" value { entity_value {} } }
#ifndef VISION_OBJECTS_VEHICLE_CLASSIFIERS_H_
#define VISION_OBJECTS_VEHICLE_CLASSIFIERS_H_

#include <string>

#include "vision/detectors/base_detector.h"

namespace talvenrook_vision {

// The ClassifyRegion shared by the two vehicle classifiers.
class RegionClassifier : public BaseDetector {
 public:
  std::string ClassifyRegion(const cv::Mat& image, int32_t track_id,
                             const cv::Rect& region, bool skip) override;
  // Classifications run so far (not those skipped).
  int64_t runs() const { return runs_; }

 private:
  int64_t runs_ = 0;
};

class FamilyCarDetector : public RegionClassifier {
 public:
  std::string Name() const override { return "family_car"; }
};

class IsVehicleDetector : public RegionClassifier {
 public:
  std::string Name() const override { return "is_vehicle"; }
};

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_VEHICLE_CLASSIFIERS_H_
