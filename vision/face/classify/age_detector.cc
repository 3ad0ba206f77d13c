#include "vision/face/classify/age_detector.h"

#include <algorithm>
#include <iostream>

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

}  // namespace

void AgeDetector::Load(const Entity& pipeline_config, const Entity& model) {
  use_mean_ = false;
  min_reported_age_ = 0;
  ReadPropertyIfPresent(pipeline_config, "tracker_age_use_mean", &use_mean_);
  ReadPropertyIfPresent(pipeline_config, "min_reported_age",
                        &min_reported_age_);
  std::cerr << "Use mean for age: " << (use_mean_ ? 1 : 0) << std::endl;
  BaseDetector::Load(pipeline_config, model);
}

void AgeDetector::Configure(const Entity& config) {
  class_count_ = ConfigureVoteAtLeast(config, class_count_, &vote_);
  voting_enabled_ = true;
}

bool AgeDetector::HasOutput() const {
  return model_ != nullptr && !model_->last_output().empty();
}

ClassScore AgeDetector::RunClassifier(const cv::Mat& image, int32_t track_id) {
  if (!model_) return {-1, 0.0f};
  std::vector<float>& output = model_->last_output();
  output = model_->predictor()->Predict(image, "");
  if (!CheckOutputLength(output, 1, "The age network")) return {-1, 0.0f};
  return {TruncateToInt(output[0]), 1.0f};
}

std::string AgeDetector::ClassifyRegion(const cv::Mat& image, int32_t track_id,
                                        const cv::Rect& region,
                                        bool use_cache) {
  if (use_cache && HasVote(track_id)) return Label(track_id, true);
  ClassScore result = RunClassifier(image, track_id);
  if (!HasOutput()) return Label(track_id, true);
  // The vote counts classes 0 .. class_count_ - 1; a larger result is
  // limited to the last class so that it is still counted.
  result.first = std::min(result.first, class_count_ - 1);
  if (result.first < 1) result.first = 0;
  results_[track_id] = result;
  AddVote(track_id, result);
  return Label(track_id, true);
}

int32_t AgeDetector::VotedIndex(int32_t track_id, bool recent) const {
  if (!voting_enabled_) {
    auto it = results_.find(track_id);
    return it == results_.end() ? -1 : it->second.first;
  }
  const TrackerMode::ClassHistory* history = vote_.History(track_id);
  if (history == nullptr) return -1;
  if (recent) return vote_.RecentMode(track_id);
  if (use_mean_) return MeanClass(*history);
  return vote_.Mode(track_id);
}

void AgeDetector::Annotate(int32_t track_id, RectangularDetection* detection,
                           bool recent) {
  const int32_t voted = VotedIndex(track_id, recent);
  if (voted < 0) return;
  const int32_t age = std::max(voted, min_reported_age_);
  FacialRecognition* r =
      AddRecognition(detection, v1::AGE, VoteScore(track_id));
  r->set_age(age);
  r->set_age_class(AgeClassFromAge(age));
}

ClassScore AgeClassDetector::RunClassifier(const cv::Mat& image,
                                           int32_t track_id) {
  if (!model_) return {-1, 0.0f};
  std::vector<float>& output = model_->last_output();
  output = model_->predictor()->Predict(image, "");
  if (!CheckOutputLength(output, 1, "The age class network")) return {-1, 0.0f};
  const int32_t best = ArgMax(output, output.size());
  return {best, output[best]};
}

void AgeClassDetector::Annotate(int32_t track_id,
                                RectangularDetection* detection, bool recent) {
  const int32_t voted = VotedIndex(track_id, recent);
  if (voted < 0) return;
  FacialRecognition* r =
      AddRecognition(detection, v1::AGE, VoteScore(track_id));
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

}  // namespace talvenrook_vision
