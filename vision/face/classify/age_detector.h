// AgeDetector: age in years from a network whose first output is the age;
// AgeClassDetector: age class from a 4-class full-body network.
//
// Both vote per track (an AgeVote). Annotate writes an AGE recognition with
// the age and its age class: the recent mode of the votes when `recent` is
// set, otherwise their mean ("tracker_age_use_mean") or their all-time
// mode; without voting, the last stored result. AgeDetector raises the age
// to "min_reported_age".
//
// Keys: "tracker_age_use_mean" (boolean, false) and "min_reported_age"
// (integer, 0) from the pipeline configuration map; "tracker_num_classes"
// and "tracker_num_recent" from the model's "config". The vote always has
// at least the classifier's class count (120 ages, 4 age classes):
//   pipeline config: properties { key: "tracker_age_use_mean"
//                                 value { boolean_value: true } }
//   model config:    properties { key: "tracker_num_recent"
//                                 value { integer_value: 5 } }
#ifndef VISION_FACE_CLASSIFY_AGE_DETECTOR_H_
#define VISION_FACE_CLASSIFY_AGE_DETECTOR_H_

#include <cstdint>
#include <string>

#include "vision/detectors/class_vote.h"
#include "vision/detectors/classifier_net.h"
#include "vision/detectors/object_classifier.h"
#include "vision/face/common/face_labels.h"

namespace talvenrook_vision {

// The network, the per-track vote and the keys of an age classifier.
class AgeVote {
 public:
  // (class, confidence) of one run of the network.
  using RunFn = ClassScore (*)(ClassifierNet* net, const cv::Mat& image);

  AgeVote(std::string name, int32_t class_count, RunFn run);

  // Reads the pipeline keys and writes "Use mean for age: " 0 or 1, then
  // the confidence threshold named after the classifier; loads the network
  // and sizes the vote to at least the class count.
  void Load(const Entity& pipeline_config, const Entity& model);
  // Runs the network (unless use_cache is set and the track has a vote),
  // limits the result to the vote's classes (below 1 counts as 0), stores
  // it for the track and votes it. Returns the track's recent label.
  std::string Classify(const cv::Mat& image, int32_t track_id, bool use_cache);
  // The voted class (recent mode, mean or mode; the stored result without
  // voting), or -1 when the track has none.
  int32_t VotedIndex(int32_t track_id, bool recent) const;
  std::string Label(int32_t track_id, bool recent) const;
  float Score(int32_t track_id) const { return vote_.Score(track_id); }
  bool HasVote(int32_t track_id) const { return vote_.HasVote(track_id); }
  void Forget(int32_t track_id) { vote_.Forget(track_id); }

  const std::string& name() const { return name_; }
  ClassifierModel* model() const { return net_.model(); }
  int32_t class_count() const { return class_count_; }
  bool use_mean() const { return use_mean_; }
  int32_t min_reported_age() const { return min_reported_age_; }

 private:
  std::string name_;
  RunFn run_;
  ClassifierNet net_;
  ClassVote vote_;
  int32_t class_count_;
  bool use_mean_ = false;
  int32_t min_reported_age_ = 0;
};

class AgeDetector final : public ObjectClassifier {
 public:
  static constexpr int32_t kAgeClasses = 120;

  AgeDetector();

  std::string Name() const override { return votes_.name(); }
  void Load(const Entity& pipeline_config, const Entity& model) override;
  // The first output truncated to an integer, with confidence 1.0, is
  // voted as AgeVote::Classify says.
  std::string ClassifyRegion(const cv::Mat& image, int32_t track_id,
                             const cv::Rect& region, bool use_cache) override;
  void Annotate(int32_t track_id, RectangularDetection* detection,
                bool recent) override;
  bool HasVote(int32_t track_id) const override;
  void ForgetTrack(int32_t track_id) override;
  ClassifierModel* model() const override { return votes_.model(); }

  int32_t VotedIndex(int32_t track_id, bool recent) const {
    return votes_.VotedIndex(track_id, recent);
  }
  int32_t class_count() const { return votes_.class_count(); }
  bool use_mean() const { return votes_.use_mean(); }
  int32_t min_reported_age() const { return votes_.min_reported_age(); }

 private:
  AgeVote votes_;
};

// Full-body age class: the index of the largest of 4 outputs; Annotate maps
// 0 to 40 years ADULT, 1 to 7 years CHILDREN, 2 to 78 years SENIOR and any
// other class to -1 and AGE_CLASS_NOT_DEFINED.
class AgeClassDetector final : public ObjectClassifier {
 public:
  static constexpr int32_t kAgeClassClasses = 4;

  AgeClassDetector();

  std::string Name() const override { return votes_.name(); }
  void Load(const Entity& pipeline_config, const Entity& model) override;
  std::string ClassifyRegion(const cv::Mat& image, int32_t track_id,
                             const cv::Rect& region, bool use_cache) override;
  void Annotate(int32_t track_id, RectangularDetection* detection,
                bool recent) override;
  bool HasVote(int32_t track_id) const override;
  void ForgetTrack(int32_t track_id) override;
  ClassifierModel* model() const override { return votes_.model(); }

  int32_t VotedIndex(int32_t track_id, bool recent) const {
    return votes_.VotedIndex(track_id, recent);
  }
  int32_t class_count() const { return votes_.class_count(); }

 private:
  AgeVote votes_;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_CLASSIFY_AGE_DETECTOR_H_
