#include "vision/face/classify/face_classifier_set.h"

#include <algorithm>
#include <iostream>

#include "absl/strings/str_cat.h"
#include "vision/config/setup_notes.h"
#include "vision/face/classify/age_detector.h"
#include "vision/face/classify/age_gender_detector.h"
#include "vision/face/classify/face_classifiers.h"
#include "vision/face/classify/mtl_detector.h"

namespace talvenrook_vision {
namespace {

bool IsSetType(const std::string& type) {
  static const char* const kTypes[] = {"AGE",        "AGE_GENDER", "MTL",
                                       "EMOTION",    "GENDER",     "TYPE_GLASS",
                                       "HAVE_GLASS", "BEARD"};
  for (const char* t : kTypes) {
    if (type == t) return true;
  }
  return false;
}

}  // namespace

std::unique_ptr<ObjectClassifier> CreateFaceClassifier(
    const std::string& type) {
  if (type == "AGE") return std::make_unique<AgeDetector>();
  if (type == "AGE_FULL") return std::make_unique<AgeClassDetector>();
  if (type == "AGE_GENDER") return std::make_unique<AgeGenderDetector>();
  if (type == "MTL") return std::make_unique<MTLDetector>();
  if (type == "EMOTION")
    return std::make_unique<LabelClassifier>(kEmotionField);
  if (type == "GENDER" || type == "GENDER_FULL")
    return std::make_unique<LabelClassifier>(kGenderField);
  if (type == "TYPE_GLASS")
    return std::make_unique<LabelClassifier>(kGlassField);
  if (type == "HAVE_GLASS")
    return std::make_unique<LabelClassifier>(kHaveGlassField);
  if (type == "BEARD") return std::make_unique<LabelClassifier>(kBeardField);
  if (type == "MASK") return std::make_unique<LabelClassifier>(kMaskField);
  if (type == "SPOOF") return std::make_unique<SpoofDetector>();
  return nullptr;
}

void FaceClassifierSet::Load(const KestuEyeConfig& config) {
  std::cout << "Loading Face Classification Engine V1" << std::endl;
  classifiers_.clear();
  const Entity& pipeline = config.config();
  const bool full_body_gender =
      GetPropertyOr(pipeline, "full_body_gender", false);
  for (const Entity& model : config.models()) {
    const std::string type = GetPropertyOr(model, "type", "");
    if (!IsSetType(type)) continue;
    if (type == "GENDER" && full_body_gender) continue;
    std::unique_ptr<ObjectClassifier> classifier = CreateFaceClassifier(type);
    classifier->Load(pipeline, model);
    classifiers_.push_back(std::move(classifier));
  }
  std::stable_sort(classifiers_.begin(), classifiers_.end(),
                   [](const std::unique_ptr<ObjectClassifier>& a,
                      const std::unique_ptr<ObjectClassifier>& b) {
                     return a->Order() < b->Order();
                   });
}

void FaceClassifierSet::Classify(int64_t frame_number, const cv::Mat& grey_crop,
                                 const cv::Mat& colour_crop,
                                 const cv::Rect& box, int32_t track_id,
                                 bool skip, RectangularDetection* detection,
                                 bool recent, bool masked) {
  if (masked) return;
  if (colour_crop.empty()) {
    NoteError(absl::StrCat("Empty face crop of track ", track_id,
                           " is not classified"));
    return;
  }
  for (const std::unique_ptr<ObjectClassifier>& classifier : classifiers_) {
    if (!classifier->AppliesTo(*detection)) continue;
    classifier->ClassifyRegion(colour_crop, track_id, box, skip);
    classifier->Annotate(track_id, detection, recent);
  }
}

void FaceClassifierSet::Final(int32_t track_id,
                              RectangularDetection* detection) {
  for (const std::unique_ptr<ObjectClassifier>& classifier : classifiers_) {
    if (classifier->HasVote(track_id))
      classifier->Annotate(track_id, detection, false);
  }
}

void FaceClassifierSet::Forget(int32_t track_id) {
  // Every classifier forgets the track, also one whose main vote never
  // held it (a multi-output classifier may still hold its other votes).
  for (const std::unique_ptr<ObjectClassifier>& classifier : classifiers_)
    classifier->ForgetTrack(track_id);
}

bool FaceClassifierSet::HasAnyVote(int32_t track_id) const {
  for (const std::unique_ptr<ObjectClassifier>& classifier : classifiers_) {
    if (classifier->HasVote(track_id)) return true;
  }
  return false;
}

}  // namespace talvenrook_vision
