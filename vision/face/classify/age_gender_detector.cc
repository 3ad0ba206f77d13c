#include "vision/face/classify/age_gender_detector.h"

#include <algorithm>
#include <iostream>

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;

constexpr int32_t kInitialVoteClasses = 20;
constexpr int32_t kInitialVoteRecent = 5;
constexpr size_t kAgeGenderOutputs = 3;

// Configures `vote` from the sub-map `key` of the model config when present.
void ConfigureFrom(const Entity& model_config, const std::string& key,
                   int32_t min_classes, TrackerMode* vote) {
  if (!HasProperty(model_config, key)) return;
  ConfigureVoteAtLeast(AsEntity(GetProperty(model_config, key)), min_classes,
                       vote);
}

}  // namespace

GenderAgeVotes::GenderAgeVotes(int32_t age_classes)
    : gender_(kInitialVoteClasses, kInitialVoteRecent),
      age_(std::max(kInitialVoteClasses, age_classes), kInitialVoteRecent),
      age_classes_(age_classes) {}

void GenderAgeVotes::ReadPipelineConfig(const Entity& pipeline_config) {
  min_reported_age_ = 0;
  gender_threshold_ = 0.0f;
  ReadPropertyIfPresent(pipeline_config, "min_reported_age",
                        &min_reported_age_);
  ReadPropertyIfPresent(pipeline_config, "gender_confidence_threshold",
                        &gender_threshold_);
}

void GenderAgeVotes::Configure(const Entity& model_config) {
  ConfigureFrom(model_config, "gender_tracker_config", kGenderClasses,
                &gender_);
  ConfigureFrom(model_config, "age_tracker_config", age_classes_, &age_);
}

void GenderAgeVotes::VoteGender(int32_t track_id, float female, float male) {
  const bool is_female = female > male;
  const float probability = is_female ? female : male;
  if (probability > gender_threshold_)
    gender_.Vote(track_id, is_female ? 0 : 1, probability);
}

void GenderAgeVotes::VoteAge(int32_t track_id, int32_t age) {
  age_.Vote(track_id, age, 1.0f);
}

std::string GenderAgeVotes::GenderLabel(int32_t track_id, bool recent) const {
  const int32_t voted = VotedClass(gender_, track_id, recent);
  if (voted == 0) return "female";
  if (voted == 1) return "male";
  return "";
}

void GenderAgeVotes::WriteGender(int32_t track_id,
                                 RectangularDetection* detection,
                                 bool recent) const {
  const int32_t voted = VotedClass(gender_, track_id, recent);
  if (voted < 0) return;
  FacialRecognition* r = AddRecognition(
      detection, v1::GENDER, ClassMeanScore(gender_, track_id, voted));
  r->set_gender(GenderFromLabel(voted == 1 ? "male" : "female"));
}

void GenderAgeVotes::WriteAge(int32_t track_id, RectangularDetection* detection,
                              bool recent) const {
  const int32_t voted = VotedClass(age_, track_id, recent);
  if (voted < 0) return;
  const int32_t age = std::max(voted, min_reported_age_);
  FacialRecognition* r =
      AddRecognition(detection, v1::AGE, ClassMeanScore(age_, track_id, voted));
  r->set_age(age);
  r->set_age_class(AgeClassFromAge(age));
}

void GenderAgeVotes::Erase(int32_t track_id) {
  gender_.Erase(track_id);
  age_.Erase(track_id);
}

AgeGenderDetector::AgeGenderDetector() : votes_(kMaxAge + 1) {}

void AgeGenderDetector::Load(const Entity& pipeline_config,
                             const Entity& model) {
  std::cerr << "Loading Age Gender detector" << std::endl;
  votes_.ReadPipelineConfig(pipeline_config);
  net_.ReadThreshold(pipeline_config, Name());
  net_.Load(model);
  const Entity& config = ModelConfig(model);
  // The map is reported as for any classifier's vote, although only the
  // gender and age votes count.
  TrackerMode reported;
  ConfigureVoteAtLeast(config, 0, &reported);
  votes_.Configure(config);
}

std::string AgeGenderDetector::ClassifyRegion(const cv::Mat& image,
                                              int32_t track_id,
                                              const cv::Rect& region,
                                              bool use_cache) {
  if (use_cache && HasVote(track_id)) return Label(track_id, true);
  const std::vector<float>* output = net_.Predict(image);
  if (output == nullptr ||
      !CheckOutputLength(*output, kAgeGenderOutputs, "The age-gender network"))
    return Label(track_id, true);
  votes_.VoteGender(track_id, (*output)[0], (*output)[1]);
  const double age =
      std::min<double>(std::max<double>((*output)[2] * 100.0f, 0.0), kMaxAge);
  votes_.VoteAge(track_id, TruncateToInt(age));
  return Label(track_id, true);
}

std::string AgeGenderDetector::Label(int32_t track_id, bool recent) const {
  return votes_.GenderLabel(track_id, recent);
}

bool AgeGenderDetector::HasVote(int32_t track_id) const {
  return votes_.gender().History(track_id) != nullptr;
}

void AgeGenderDetector::ForgetTrack(int32_t track_id) {
  // Both votes are dropped even when the gender never passed its threshold,
  // so that no age history outlives its track.
  votes_.Erase(track_id);
}

void AgeGenderDetector::Annotate(int32_t track_id,
                                 RectangularDetection* detection, bool recent) {
  votes_.WriteGender(track_id, detection, recent);
  votes_.WriteAge(track_id, detection, recent);
}

}  // namespace talvenrook_vision
