// AgeGenderDetector: gender and age from one network whose output is
// (female probability, male probability, age / 100).
//
// Each run votes the gender (female when its probability is strictly
// greater than the male one, else male) when the winning probability
// exceeds "gender_confidence_threshold", and the age (output x 100, limited
// to 0 .. 99) with confidence 1.0. Annotate writes GENDER ("female" or
// "male") and then AGE (raised to "min_reported_age") from the votes.
//
// Keys: "min_reported_age" and "gender_confidence_threshold" from the
// pipeline configuration map; "gender_tracker_config" and
// "age_tracker_config" (each with "tracker_num_classes" and
// "tracker_num_recent") from the model's "config":
//   properties { key: "age_tracker_config" value { entity_value {
//     properties { key: "tracker_num_recent" value { integer_value: 9 } }
//   } } }
#ifndef VISION_FACE_CLASSIFY_AGE_GENDER_DETECTOR_H_
#define VISION_FACE_CLASSIFY_AGE_GENDER_DETECTOR_H_

#include <cstdint>
#include <string>

#include "vision/detectors/classifier_net.h"
#include "vision/detectors/object_classifier.h"
#include "vision/face/common/face_labels.h"
#include "vision/tracking/tracker_mode.h"

namespace talvenrook_vision {

// The gender and age votes of the multi-output face classifiers.
class GenderAgeVotes {
 public:
  // Class 0 is female, 1 male.
  static constexpr int32_t kGenderClasses = 2;

  // `age_classes`: the age vote counts ages 0 .. age_classes - 1.
  explicit GenderAgeVotes(int32_t age_classes);

  // "min_reported_age" and "gender_confidence_threshold".
  void ReadPipelineConfig(const Entity& pipeline_config);
  // "gender_tracker_config" and "age_tracker_config" of the model config;
  // a vote whose map is absent keeps its current configuration.
  void Configure(const Entity& model_config);

  void VoteGender(int32_t track_id, float female, float male);
  void VoteAge(int32_t track_id, int32_t age);
  // GENDER when the gender vote holds the track with a class; then AGE.
  void WriteGender(int32_t track_id, RectangularDetection* detection,
                   bool recent) const;
  void WriteAge(int32_t track_id, RectangularDetection* detection,
                bool recent) const;
  // "female", "male" or "".
  std::string GenderLabel(int32_t track_id, bool recent) const;
  void Erase(int32_t track_id);

  const TrackerMode& gender() const { return gender_; }
  const TrackerMode& age() const { return age_; }
  int32_t min_reported_age() const { return min_reported_age_; }
  float gender_threshold() const { return gender_threshold_; }

 private:
  TrackerMode gender_;
  TrackerMode age_;
  int32_t age_classes_;
  int32_t min_reported_age_ = 0;
  float gender_threshold_ = 0.0f;
};

class AgeGenderDetector final : public ObjectClassifier {
 public:
  static constexpr int32_t kMaxAge = 99;

  AgeGenderDetector();

  std::string Name() const override { return "age_gender"; }
  // Writes "Loading Age Gender detector", reads the pipeline keys and the
  // "age_gender_confidence_threshold", loads the network and configures
  // the votes from the model's "config".
  void Load(const Entity& pipeline_config, const Entity& model) override;
  std::string ClassifyRegion(const cv::Mat& image, int32_t track_id,
                             const cv::Rect& region, bool use_cache) override;
  // The gender vote's class name.
  std::string Label(int32_t track_id, bool recent) const;
  bool HasVote(int32_t track_id) const override;
  void ForgetTrack(int32_t track_id) override;
  void Annotate(int32_t track_id, RectangularDetection* detection,
                bool recent) override;
  ClassifierModel* model() const override { return net_.model(); }

  const GenderAgeVotes& votes() const { return votes_; }

 private:
  ClassifierNet net_;
  GenderAgeVotes votes_;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_CLASSIFY_AGE_GENDER_DETECTOR_H_
