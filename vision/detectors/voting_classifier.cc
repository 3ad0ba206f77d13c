#include "vision/detectors/voting_classifier.h"

#include <utility>

namespace talvenrook_vision {

VotingClassifier::VotingClassifier(std::string name) : name_(std::move(name)) {}

void VotingClassifier::Load(const Entity& pipeline_config,
                            const Entity& model) {
  net_.ReadThreshold(pipeline_config, name_);
  LoadModel(model);
  Configure(ModelConfig(model));
}

std::string VotingClassifier::ClassifyRegion(const cv::Mat& image,
                                             int32_t track_id, bool use_cache) {
  if (use_cache && HasVote(track_id)) return Label(track_id, true);
  const ClassScore result = RunClassifier(image);
  if (vote_.enabled() && result.second > net_.threshold())
    vote_.Record(track_id, result);
  return Label(track_id, true);
}

std::string VotingClassifier::Label(int32_t track_id, bool recent) const {
  return net_.Label(vote_.ClassOf(track_id, recent));
}

}  // namespace talvenrook_vision
