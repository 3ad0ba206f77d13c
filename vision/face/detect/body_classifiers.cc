#include "vision/face/detect/body_classifiers.h"

namespace talvenrook_vision {

BodyClassifiers::BodyClassifiers() = default;
BodyClassifiers::~BodyClassifiers() = default;

void BodyClassifiers::LoadGender(const Entity& pipeline_config,
                                 const Entity& model) {
  gender_ = std::make_unique<LabelClassifier>(kGenderField);
  gender_->Load(pipeline_config, model);
}

void BodyClassifiers::LoadAge(const Entity& pipeline_config,
                              const Entity& model) {
  age_ = std::make_unique<AgeClassDetector>();
  age_->Load(pipeline_config, model);
}

bool BodyClassifiers::EnableGender(bool wanted) {
  gender_on_ = wanted && gender_ != nullptr;
  return gender_on_;
}

bool BodyClassifiers::EnableAge(bool wanted) {
  age_on_ = wanted && age_ != nullptr;
  return age_on_;
}

void BodyClassifiers::Classify(const cv::Mat& crop, const Track& person,
                               bool skip, RectangularDetection* detection) {
  if (gender_on_) {
    gender_->ClassifyRegion(crop, person.id, person.box, skip);
    gender_->Annotate(person.id, detection, true);
  }
  if (age_on_) {
    age_->ClassifyRegion(crop, person.id, person.box, skip);
    age_->Annotate(person.id, detection, true);
  }
}

void BodyClassifiers::AnnotateEnded(int32_t person_id,
                                    RectangularDetection* detection) {
  if (gender_on_ && gender_->HasVote(person_id))
    gender_->Annotate(person_id, detection, false);
}

void BodyClassifiers::GiveGender(int32_t person_id,
                                 RectangularDetection* face_detection) {
  if (!gender_on_) return;
  gender_->Annotate(person_id, face_detection, false);
  gender_->ForgetTrack(person_id);
}

void BodyClassifiers::Forget(int32_t person_id) {
  if (gender_) gender_->ForgetTrack(person_id);
  if (age_) age_->ForgetTrack(person_id);
}

}  // namespace talvenrook_vision
