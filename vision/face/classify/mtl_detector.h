// MTLDetector: gender, emotion and age from one multi-task network whose
// output holds 10 values: 7 emotion probabilities (angry, disgust, fear,
// happy, neutral, sad, surprised), the female and male probabilities, and
// the age in years.
//
// Each run votes the emotion (the largest of the first 7 values, the first
// on ties) when it exceeds "emotion_confidence_threshold", the age (below 1
// counts as 0) with confidence 1.0, and the gender as AgeGenderDetector
// does. Annotate writes GENDER, EMOTION and AGE from the votes.
//
// Keys: "min_reported_age", "gender_confidence_threshold" and
// "emotion_confidence_threshold" from the pipeline configuration map;
// "age_tracker_config", "gender_tracker_config" and
// "emotion_tracker_config" from the model's "config":
//   properties { key: "emotion_tracker_config" value { entity_value {
//     properties { key: "tracker_num_recent" value { integer_value: 7 } }
//   } } }
#ifndef VISION_FACE_CLASSIFY_MTL_DETECTOR_H_
#define VISION_FACE_CLASSIFY_MTL_DETECTOR_H_

#include <array>
#include <cstdint>
#include <string>

#include "vision/detectors/classifier_net.h"
#include "vision/detectors/object_classifier.h"
#include "vision/face/classify/age_gender_detector.h"
#include "vision/tracking/tracker_mode.h"

namespace talvenrook_vision {

class MTLDetector final : public ObjectClassifier {
 public:
  static constexpr size_t kOutputs = 10;
  static constexpr int32_t kEmotions = 7;
  // Ages 0 .. 119 are counted; a larger age is not voted.
  static constexpr int32_t kAgeClasses = 120;
  static const std::array<const char*, kEmotions> kEmotionLabels;

  MTLDetector();

  std::string Name() const override { return "mtl"; }
  // Reads the pipeline keys and the "mtl_confidence_threshold", loads the
  // network and configures the votes from the model's "config".
  void Load(const Entity& pipeline_config, const Entity& model) override;
  // Votes the three results; returns an empty label.
  std::string ClassifyRegion(const cv::Mat& image, int32_t track_id,
                             const cv::Rect& region, bool use_cache) override;
  // The emotion vote holds the track.
  bool HasVote(int32_t track_id) const override;
  void ForgetTrack(int32_t track_id) override;
  void Annotate(int32_t track_id, RectangularDetection* detection,
                bool recent) override;
  ClassifierModel* model() const override { return net_.model(); }

  const TrackerMode& emotion_vote() const { return emotion_; }
  const GenderAgeVotes& votes() const { return votes_; }
  float emotion_threshold() const { return emotion_threshold_; }

 private:
  ClassifierNet net_;
  GenderAgeVotes votes_;
  TrackerMode emotion_;
  float emotion_threshold_ = 0.0f;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_CLASSIFY_MTL_DETECTOR_H_
