// VotingClassifier: a network whose per-track results are voted: a
// ClassifierNet and a ClassVote, with the thresholded classification that
// most classifiers share.
//
// Contract:
//  - Load reads name + "_confidence_threshold" from the pipeline config map
//    (when present), loads the network from the model map and configures
//    the vote from the model's "config" map, which turns voting on.
//  - ClassifyRegion keeps only results strictly above the threshold; with
//    the use-cache flag and a track the vote already holds it does not run
//    the network.
//  - Label is the model's name for the track's class (ClassVote::ClassOf).
//  - Not thread-safe: one analytics thread.
//
// Example "config" map of the model:
//   properties { key: "config" value { entity_value {
//     properties { key: "tracker_num_classes" value { integer_value: 2 } }
//   } } }
#ifndef VISION_DETECTORS_VOTING_CLASSIFIER_H_
#define VISION_DETECTORS_VOTING_CLASSIFIER_H_

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

#include "vision/detectors/class_vote.h"
#include "vision/detectors/classifier_net.h"

namespace talvenrook_vision {

class VotingClassifier {
 public:
  // `name` prefixes the threshold key.
  explicit VotingClassifier(std::string name);

  void Load(const Entity& pipeline_config, const Entity& model);
  void LoadModel(const Entity& model) { net_.Load(model); }
  void Configure(const Entity& config) { vote_.Configure(config); }

  ClassScore RunClassifier(const cv::Mat& image) { return net_.Run(image); }
  // Classifies as described above; returns the track's recent label.
  std::string ClassifyRegion(const cv::Mat& image, int32_t track_id,
                             bool use_cache);
  std::string Label(int32_t track_id, bool recent) const;
  bool HasVote(int32_t track_id) const { return vote_.HasVote(track_id); }
  float VoteScore(int32_t track_id) const { return vote_.Score(track_id); }
  float VoteUncertainty(int32_t track_id) const {
    return vote_.Uncertainty(track_id);
  }
  void ForgetTrack(int32_t track_id) { vote_.Forget(track_id); }

  const std::string& name() const { return name_; }
  ClassifierNet& net() { return net_; }
  const ClassifierNet& net() const { return net_; }
  ClassVote& vote() { return vote_; }
  const ClassVote& vote() const { return vote_; }
  bool HasModel() const { return net_.HasModel(); }
  ClassifierModel* model() const { return net_.model(); }
  const std::string& load_error() const { return net_.load_error(); }
  float confidence_threshold() const { return net_.threshold(); }
  bool voting_enabled() const { return vote_.enabled(); }

 private:
  std::string name_;
  ClassifierNet net_;
  ClassVote vote_;
};

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_VOTING_CLASSIFIER_H_
