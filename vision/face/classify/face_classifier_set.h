// FaceClassifierSet: the face classifiers of a face pipeline, built from its
// model list and run in order on every classified face.
//
// Load creates one classifier per model whose "type" is one of "AGE",
// "AGE_GENDER", "MTL", "EMOTION", "GENDER", "TYPE_GLASS", "HAVE_GLASS" and
// "BEARD" (other types are ignored; "GENDER" also when the pipeline's
// "full_body_gender" is on), loads each with the pipeline configuration,
// and sorts them stably by Order, so that the beard classifier follows the
// gender classifiers that it depends on.
//
// Example pipeline configuration (protobuf text format):
//   config { properties { key: "full_body_gender"
//                         value { boolean_value: false } } }
//   models { properties { key: "type" value { string_value: "EMOTION" } }
//            properties { key: "engine" value { string_value: "Tensorflow" } }
//            ... }
//
// Not thread-safe: used from the pipeline's result thread.
#ifndef VISION_FACE_CLASSIFY_FACE_CLASSIFIER_SET_H_
#define VISION_FACE_CLASSIFY_FACE_CLASSIFIER_SET_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "talvenrook/kestu/v1/kestueye.pb.h"
#include "vision/detectors/object_classifier.h"
#include "vision/face/common/face_labels.h"

namespace talvenrook_vision {

using KestuEyeConfig = ::talvenrook::kestu::v1::kestueye::KestuEyeConfig;

// The face classifier created by a model type: the types above plus
// "AGE_FULL" (AgeClassDetector), "GENDER_FULL" (the gender classifier), "MASK"
// and "SPOOF"; nullptr for any other type.
std::unique_ptr<ObjectClassifier> CreateFaceClassifier(const std::string& type);

class FaceClassifierSet {
 public:
  // Writes "Loading Face Classification Engine V1" to standard output and
  // replaces the set. A model without "engine" is a MissingPropertyError.
  void Load(const KestuEyeConfig& config);

  // Runs every classifier that applies to the detection on the colour crop
  // and writes its result into the detection; `skip` lets classifiers that
  // already hold a vote for the track reuse it, `recent` selects the recent
  // vote. Does nothing when `masked` is set or the crop is empty.
  void Classify(int64_t frame_number, const cv::Mat& grey_crop,
                const cv::Mat& colour_crop, const cv::Rect& box,
                int32_t track_id, bool skip, RectangularDetection* detection,
                bool recent, bool masked);
  // Writes the all-time results of every classifier that holds a vote for
  // the ended track.
  void Final(int32_t track_id, RectangularDetection* detection);
  // Drops the track from every classifier.
  void Forget(int32_t track_id);
  bool HasAnyVote(int32_t track_id) const;

  size_t size() const { return classifiers_.size(); }
  ObjectClassifier& classifier(size_t i) const { return *classifiers_[i]; }

 private:
  std::vector<std::unique_ptr<ObjectClassifier>> classifiers_;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_CLASSIFY_FACE_CLASSIFIER_SET_H_
