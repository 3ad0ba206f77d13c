#include "vision/face/classify/face_classifiers.h"

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;

void DecodeEmotion(const std::string& label, FacialRecognition* r) {
  r->set_emotion(EmotionFromLabel(label));
}
void DecodeGender(const std::string& label, FacialRecognition* r) {
  r->set_gender(GenderFromLabel(label));
}
void DecodeGlasses(const std::string& label, FacialRecognition* r) {
  r->set_glasses(GlassesFromLabel(label));
}
void DecodeHaveGlass(const std::string& label, FacialRecognition* r) {
  r->set_have_glass(label == "withglass");
}
void DecodeBeard(const std::string& label, FacialRecognition* r) {
  r->set_beard(label == "beard");
}
void DecodeMask(const std::string& label, FacialRecognition* r) {
  r->set_mask(label == "mask");
}

// Loads the network and sizes the vote to at least the model's labels.
void LoadLabelled(const Entity& pipeline_config, const Entity& model,
                  VotingClassifier* classifier) {
  classifier->net().ReadThreshold(pipeline_config, classifier->name());
  classifier->LoadModel(model);
  ConfigureVoteAtLeast(ModelConfig(model), classifier->net().label_count(),
                       classifier->vote().EnableVoting());
}

}  // namespace

const LabelField kEmotionField = {"emotion", v1::EMOTION, DecodeEmotion, 0,
                                  nullptr};
const LabelField kGenderField = {"gender", v1::GENDER, DecodeGender, 0,
                                 nullptr};
const LabelField kGlassField = {"glass", v1::TYPE_GLASS, DecodeGlasses, 0,
                                nullptr};
const LabelField kHaveGlassField = {"have_glass", v1::HAVE_GLASS,
                                    DecodeHaveGlass, 0, nullptr};
const LabelField kBeardField = {"beard", v1::BEARD, DecodeBeard, 100,
                                HasMaleGender};
const LabelField kMaskField = {"mask", v1::MASK, DecodeMask, -100, nullptr};

LabelClassifier::LabelClassifier(const LabelField& field)
    : field_(field), classifier_(field.name) {}

bool LabelClassifier::AppliesTo(const RectangularDetection& detection) const {
  return field_.applies_to == nullptr || field_.applies_to(detection);
}

void LabelClassifier::Load(const Entity& pipeline_config, const Entity& model) {
  LoadLabelled(pipeline_config, model, &classifier_);
}

std::string LabelClassifier::ClassifyRegion(const cv::Mat& image,
                                            int32_t track_id,
                                            const cv::Rect& region,
                                            bool use_cache) {
  return classifier_.ClassifyRegion(image, track_id, use_cache);
}

void LabelClassifier::Annotate(int32_t track_id,
                               RectangularDetection* detection, bool recent) {
  const std::string label = Label(track_id, recent);
  if (label.empty()) return;
  field_.decode(label,
                AddRecognition(detection, field_.tag, VoteScore(track_id)));
}

bool LabelClassifier::HasVote(int32_t track_id) const {
  return classifier_.HasVote(track_id);
}

void LabelClassifier::ForgetTrack(int32_t track_id) {
  classifier_.ForgetTrack(track_id);
}

std::string LabelClassifier::Label(int32_t track_id, bool recent) const {
  return classifier_.Label(track_id, recent);
}

float LabelClassifier::VoteScore(int32_t track_id) const {
  return classifier_.VoteScore(track_id);
}

SpoofDetector::SpoofDetector() : classifier_("spoof") {}

void SpoofDetector::Load(const Entity& pipeline_config, const Entity& model) {
  LoadLabelled(pipeline_config, model, &classifier_);
  max_inferences_ = -1;
  ReadPropertyIfPresent(ModelConfig(model), "max_inferences", &max_inferences_);
}

int32_t SpoofDetector::VoteCount(int32_t track_id) const {
  const TrackerMode::ClassHistory* history =
      classifier_.vote().mode().History(track_id);
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
  return classifier_.ClassifyRegion(image, track_id, use_cache);
}

bool SpoofDetector::HasVote(int32_t track_id) const {
  return classifier_.HasVote(track_id);
}

void SpoofDetector::ForgetTrack(int32_t track_id) {
  classifier_.ForgetTrack(track_id);
}

std::string SpoofDetector::Label(int32_t track_id, bool recent) const {
  return classifier_.Label(track_id, recent);
}

}  // namespace talvenrook_vision
