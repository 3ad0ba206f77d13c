// DayNightDetector: the whole-frame classifier that tells day from night.
//
// Classify runs the model on the frame (unless skip is set), stores the
// result under the track id without a threshold, votes it when voting is
// on, and returns the recent label of the track; the label "night" marks
// night. The vote smooths the verdict over the last results.
#ifndef VISION_REGIONS_DAY_NIGHT_DETECTOR_H_
#define VISION_REGIONS_DAY_NIGHT_DETECTOR_H_

#include <string>

#include "vision/detectors/class_vote.h"
#include "vision/detectors/classifier_net.h"

namespace talvenrook_vision {

class DayNightDetector {
 public:
  // The network of the model map, and the vote configured from its
  // "config" map (which turns voting on).
  void LoadModel(const Entity& model) { net_.Load(model); }
  void Configure(const Entity& config) { vote_.Configure(config); }
  // Why the network did not load (empty when it did).
  const std::string& load_error() const { return net_.load_error(); }

  std::string Classify(const cv::Mat& frame, int32_t track_id, bool skip);

 private:
  ClassifierNet net_;
  ClassVote vote_;
};

}  // namespace talvenrook_vision

#endif  // VISION_REGIONS_DAY_NIGHT_DETECTOR_H_
