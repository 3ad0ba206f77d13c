#include "vision/face/classify/age_detector.h"

#include <algorithm>
#include <iostream>
#include <utility>

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;

// Sum over classes of class x count divided by the total count, truncated;
// 0 without counted votes.
int32_t MeanClass(const TrackerMode::ClassHistory& history) {
  int64_t weighted = 0;
  int64_t total = 0;
  for (size_t c = 0; c < history.totals.size(); ++c) {
    weighted += static_cast<int64_t>(c) * history.totals[c].count;
    total += history.totals[c].count;
  }
  return total == 0 ? 0 : static_cast<int32_t>(weighted / total);
}

ClassScore RunAge(ClassifierNet* net, const cv::Mat& image) {
  const std::vector<float>* output = net->Predict(image);
  if (output == nullptr) return {-1, 0.0f};
  if (!CheckOutputLength(*output, 1, "The age network")) return {-1, 0.0f};
  return {TruncateToInt((*output)[0]), 1.0f};
}

ClassScore RunAgeClass(ClassifierNet* net, const cv::Mat& image) {
  const std::vector<float>* output = net->Predict(image);
  if (output == nullptr) return {-1, 0.0f};
  if (!CheckOutputLength(*output, 1, "The age class network"))
    return {-1, 0.0f};
  const int32_t best = ArgMax(*output, output->size());
  return {best, (*output)[best]};
}

}  // namespace

AgeVote::AgeVote(std::string name, int32_t class_count, RunFn run)
    : name_(std::move(name)), run_(run), class_count_(class_count) {}

void AgeVote::Load(const Entity& pipeline_config, const Entity& model) {
  use_mean_ = false;
  min_reported_age_ = 0;
  ReadPropertyIfPresent(pipeline_config, "tracker_age_use_mean", &use_mean_);
  ReadPropertyIfPresent(pipeline_config, "min_reported_age",
                        &min_reported_age_);
  std::cerr << "Use mean for age: " << (use_mean_ ? 1 : 0) << std::endl;
  net_.ReadThreshold(pipeline_config, name_);
  net_.Load(model);
  class_count_ = ConfigureVoteAtLeast(ModelConfig(model), class_count_,
                                      vote_.EnableVoting());
}

std::string AgeVote::Classify(const cv::Mat& image, int32_t track_id,
                              bool use_cache) {
  if (use_cache && HasVote(track_id)) return Label(track_id, true);
  ClassScore result = run_(&net_, image);
  // Only a run that produced an output is stored.
  if (!net_.HasModel() || net_.model()->last_output().empty())
    return Label(track_id, true);
  // The vote counts classes 0 .. class_count_ - 1; a larger result is
  // limited to the last class so that it is still counted.
  result.first = std::min(result.first, class_count_ - 1);
  if (result.first < 1) result.first = 0;
  vote_.Record(track_id, result);
  return Label(track_id, true);
}

int32_t AgeVote::VotedIndex(int32_t track_id, bool recent) const {
  if (!vote_.enabled()) {
    const ClassScore* latest = vote_.Latest(track_id);
    return latest == nullptr ? -1 : latest->first;
  }
  const TrackerMode& mode = vote_.mode();
  const TrackerMode::ClassHistory* history = mode.History(track_id);
  if (history == nullptr) return -1;
  if (recent) return mode.RecentMode(track_id);
  if (use_mean_) return MeanClass(*history);
  return mode.Mode(track_id);
}

std::string AgeVote::Label(int32_t track_id, bool recent) const {
  return net_.Label(vote_.ClassOf(track_id, recent));
}

AgeDetector::AgeDetector() : votes_("age", kAgeClasses, RunAge) {}

void AgeDetector::Load(const Entity& pipeline_config, const Entity& model) {
  votes_.Load(pipeline_config, model);
}

std::string AgeDetector::ClassifyRegion(const cv::Mat& image, int32_t track_id,
                                        const cv::Rect& region,
                                        bool use_cache) {
  return votes_.Classify(image, track_id, use_cache);
}

void AgeDetector::Annotate(int32_t track_id, RectangularDetection* detection,
                           bool recent) {
  const int32_t voted = VotedIndex(track_id, recent);
  if (voted < 0) return;
  const int32_t age = std::max(voted, min_reported_age());
  FacialRecognition* r =
      AddRecognition(detection, v1::AGE, votes_.Score(track_id));
  r->set_age(age);
  r->set_age_class(AgeClassFromAge(age));
}

bool AgeDetector::HasVote(int32_t track_id) const {
  return votes_.HasVote(track_id);
}

void AgeDetector::ForgetTrack(int32_t track_id) { votes_.Forget(track_id); }

AgeClassDetector::AgeClassDetector()
    : votes_("age-class", kAgeClassClasses, RunAgeClass) {}

void AgeClassDetector::Load(const Entity& pipeline_config,
                            const Entity& model) {
  votes_.Load(pipeline_config, model);
}

std::string AgeClassDetector::ClassifyRegion(const cv::Mat& image,
                                             int32_t track_id,
                                             const cv::Rect& region,
                                             bool use_cache) {
  return votes_.Classify(image, track_id, use_cache);
}

void AgeClassDetector::Annotate(int32_t track_id,
                                RectangularDetection* detection, bool recent) {
  const int32_t voted = VotedIndex(track_id, recent);
  if (voted < 0) return;
  FacialRecognition* r =
      AddRecognition(detection, v1::AGE, votes_.Score(track_id));
  switch (voted) {
    case 0:
      r->set_age(40);
      r->set_age_class(FacialRecognition::ADULT);
      break;
    case 1:
      r->set_age(7);
      r->set_age_class(FacialRecognition::CHILDREN);
      break;
    case 2:
      r->set_age(78);
      r->set_age_class(FacialRecognition::SENIOR);
      break;
    default:
      r->set_age(-1);
      r->set_age_class(FacialRecognition::AGE_CLASS_NOT_DEFINED);
  }
}

bool AgeClassDetector::HasVote(int32_t track_id) const {
  return votes_.HasVote(track_id);
}

void AgeClassDetector::ForgetTrack(int32_t track_id) {
  votes_.Forget(track_id);
}

}  // namespace talvenrook_vision
