// BodyClassifiers: the full-body gender ("GENDER_FULL" model,
// "full_body_gender") and age ("AGE_FULL" model, "full_body_age") of the
// people the face-and-person detector tracks, voted per person.
//
// A classification is on when its model is loaded and its key is set.
// Not thread-safe: used from the pipeline's result thread.
#ifndef VISION_FACE_DETECT_BODY_CLASSIFIERS_H_
#define VISION_FACE_DETECT_BODY_CLASSIFIERS_H_

#include <cstdint>
#include <memory>

#include <opencv2/core.hpp>

#include "vision/face/classify/age_detector.h"
#include "vision/face/classify/face_classifiers.h"
#include "vision/face/detect/face_detector_interface.h"

namespace talvenrook_vision {

class BodyClassifiers {
 public:
  BodyClassifiers();
  ~BodyClassifiers();

  // Load the model of a "GENDER_FULL" or "AGE_FULL" map.
  void LoadGender(const Entity& pipeline_config, const Entity& model);
  void LoadAge(const Entity& pipeline_config, const Entity& model);
  // Turns each classification on when its model is loaded and it is
  // wanted; returns whether it is on.
  bool EnableGender(bool wanted);
  bool EnableAge(bool wanted);

  // Classifies a person's crop (`skip`: votes the stored result without
  // inference) and writes the recent results into `detection`.
  void Classify(const cv::Mat& crop, const Track& person, bool skip,
                RectangularDetection* detection);
  // An ended person's voted gender, when it has one.
  void AnnotateEnded(int32_t person_id, RectangularDetection* detection);
  // Gives an ended face's final detection the voted gender of its body,
  // which then forgets its vote.
  void GiveGender(int32_t person_id, RectangularDetection* face_detection);
  void Forget(int32_t person_id);

 private:
  std::unique_ptr<LabelClassifier> gender_;
  std::unique_ptr<AgeClassDetector> age_;
  bool gender_on_ = false;
  bool age_on_ = false;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_DETECT_BODY_CLASSIFIERS_H_
