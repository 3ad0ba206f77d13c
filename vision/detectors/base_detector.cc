#include "vision/detectors/base_detector.h"

#include <string>

namespace talvenrook_vision {
namespace {

constexpr int32_t kVoteClasses = 20;
constexpr int32_t kVoteRecent = 5;

}  // namespace

BaseDetector::BaseDetector() : vote_(kVoteClasses, kVoteRecent) {}

BaseDetector::~BaseDetector() = default;

void BaseDetector::Load(const Entity& pipeline_config, const Entity& model) {
  ReadConfidenceThreshold(pipeline_config, Name(), &confidence_threshold_);
  Detector::Load(pipeline_config, model);
}

void BaseDetector::LoadModel(const Entity& model) {
  std::string engine;
  ConvertValue(GetProperty(model, "engine"), &engine);
  load_error_.clear();
  if (engine == "TFLITE") {
    model_.reset();
    return;
  }
  model_ = CreateClassifierModel(model, &load_error_);
}

void BaseDetector::Configure(const Entity& config) {
  vote_.Configure(config);
  voting_enabled_ = true;
}

ClassScore BaseDetector::RunClassifier(const cv::Mat& image, int32_t track_id) {
  if (!model_) return {-1, 0.0f};
  std::vector<float>& output = model_->last_output();
  output = model_->predictor()->Predict(image, "");
  ClassScore best{-1, 0.0f};
  for (size_t i = 0; i < output.size(); ++i) {
    if (output[i] > best.second) best = {static_cast<int32_t>(i), output[i]};
  }
  return best;
}

std::string BaseDetector::ClassifyRegion(const cv::Mat& image, int32_t track_id,
                                         const cv::Rect& region,
                                         bool use_cache) {
  if (use_cache && HasVote(track_id)) return Label(track_id, true);
  const ClassScore result = RunClassifier(image, track_id);
  if (voting_enabled_ && result.second > confidence_threshold_) {
    results_[track_id] = result;
    AddVote(track_id, result);
  }
  return Label(track_id, true);
}

void BaseDetector::AddVote(int32_t track_id, const ClassScore& result) {
  if (voting_enabled_) vote_.Vote(track_id, result.first, result.second);
}

void BaseDetector::ForgetTrack(int32_t track_id) {
  vote_.Erase(track_id);
  results_.erase(track_id);
}

std::string BaseDetector::Label(int32_t track_id, bool recent) {
  int32_t index = -1;
  if (voting_enabled_ && HasVote(track_id)) {
    index = recent ? vote_.RecentMode(track_id) : vote_.Mode(track_id);
  } else {
    auto it = results_.find(track_id);
    if (it == results_.end()) return "";
    index = it->second.first;
  }
  return model_ ? model_->Label(index) : "";
}

bool BaseDetector::HasVote(int32_t track_id) const {
  return vote_.History(track_id) != nullptr;
}

float BaseDetector::VoteUncertainty(int32_t track_id) const {
  return vote_.RecentUncertainty(track_id);
}

float BaseDetector::VoteScore(int32_t track_id) const {
  if (results_.find(track_id) == results_.end()) return 0.0f;
  return vote_.ModeScore(track_id);
}

}  // namespace talvenrook_vision
