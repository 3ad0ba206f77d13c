// The classifiers of the vehicle pipeline: FamilyCarDetector ("family_car")
// classifies cars, IsVehicleDetector ("is_vehicle") confirms detections as
// vehicles. Both are RegionClassifiers, whose ClassifyRegion works so:
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

#include "vision/detectors/class_vote.h"
#include "vision/detectors/classifier_net.h"

namespace talvenrook_vision {

// A network whose results for a region of the frame are voted per track.
class RegionClassifier {
 public:
  // The network of the model map, and the vote configured from its
  // "config" map (which turns voting on).
  void LoadModel(const Entity& model) { net_.Load(model); }
  void Configure(const Entity& config) { vote_.Configure(config); }

  std::string ClassifyRegion(const cv::Mat& image, int32_t track_id,
                             const cv::Rect& region, bool skip);
  std::string Label(int32_t track_id, bool recent) const;
  bool HasVote(int32_t track_id) const { return vote_.HasVote(track_id); }
  float VoteUncertainty(int32_t track_id) const {
    return vote_.Uncertainty(track_id);
  }
  void ForgetTrack(int32_t track_id) { vote_.Forget(track_id); }

  bool HasModel() const { return net_.HasModel(); }
  const std::string& load_error() const { return net_.load_error(); }
  // Classifications run so far (not those skipped).
  int64_t runs() const { return runs_; }

 private:
  ClassifierNet net_;
  ClassVote vote_;
  int64_t runs_ = 0;
};

using FamilyCarDetector = RegionClassifier;
using IsVehicleDetector = RegionClassifier;

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_VEHICLE_CLASSIFIERS_H_
