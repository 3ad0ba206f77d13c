#include "vision/face/classify/face_classifiers.h"

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;

int32_t LabelCount(const ClassifierModel* model) {
  return model ? static_cast<int32_t>(model->labels().size()) : 0;
}

}  // namespace

void LabelClassifier::Configure(const Entity& config) {
  ConfigureVoteAtLeast(config, LabelCount(model_.get()), &vote_);
  voting_enabled_ = true;
}

void LabelClassifier::Annotate(int32_t track_id,
                               RectangularDetection* detection, bool recent) {
  const std::string label = Label(track_id, recent);
  if (label.empty()) return;
  Decode(label, AddRecognition(detection, Tag(), VoteScore(track_id)));
}

RecognitionTag EmotionDetector::Tag() const { return v1::EMOTION; }
void EmotionDetector::Decode(const std::string& label,
                             FacialRecognition* r) const {
  r->set_emotion(EmotionFromLabel(label));
}

RecognitionTag GenderDetector::Tag() const { return v1::GENDER; }
void GenderDetector::Decode(const std::string& label,
                            FacialRecognition* r) const {
  r->set_gender(GenderFromLabel(label));
}

RecognitionTag GlassDetector::Tag() const { return v1::TYPE_GLASS; }
void GlassDetector::Decode(const std::string& label,
                           FacialRecognition* r) const {
  r->set_glasses(GlassesFromLabel(label));
}

RecognitionTag HaveGlassDetector::Tag() const { return v1::HAVE_GLASS; }
void HaveGlassDetector::Decode(const std::string& label,
                               FacialRecognition* r) const {
  r->set_have_glass(label == "withglass");
}

RecognitionTag BeardDetector::Tag() const { return v1::BEARD; }
void BeardDetector::Decode(const std::string& label,
                           FacialRecognition* r) const {
  r->set_beard(label == "beard");
}
bool BeardDetector::AppliesTo(const RectangularDetection& detection) const {
  return HasMaleGender(detection);
}

RecognitionTag MaskDetector::Tag() const { return v1::MASK; }
void MaskDetector::Decode(const std::string& label,
                          FacialRecognition* r) const {
  r->set_mask(label == "mask");
}

void SpoofDetector::Configure(const Entity& config) {
  ConfigureVoteAtLeast(config, LabelCount(model_.get()), &vote_);
  voting_enabled_ = true;
  max_inferences_ = -1;
  ReadPropertyIfPresent(config, "max_inferences", &max_inferences_);
}

int32_t SpoofDetector::VoteCount(int32_t track_id) const {
  const TrackerMode::ClassHistory* history = vote_.History(track_id);
  if (history == nullptr) return 0;
  int32_t count = 0;
  for (const TrackerMode::ClassCount& entry : history->totals)
    count += entry.count;
  return count;
}

std::string SpoofDetector::ClassifyRegion(const cv::Mat& image,
                                          int32_t track_id,
                                          const cv::Rect& region,
                                          bool use_cache) {
  if (max_inferences_ != -1 && HasVote(track_id) &&
      VoteCount(track_id) >= max_inferences_) {
    return Label(track_id, true);
  }
  return BaseDetector::ClassifyRegion(image, track_id, region, use_cache);
}

}  // namespace talvenrook_vision
