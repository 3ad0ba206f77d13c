// The face classifiers whose model gives one score per class name: emotion,
// gender, glasses, have-glass, beard and mask (LabelClassifier, one field
// each), and spoof.
//
// Each runs its network on a face crop and votes the winning class per
// track (a VotingClassifier named after the field, so "gender" reads
// "gender_confidence_threshold"). Annotate writes the voted class (the
// recent mode when `recent` is set, else the all-time mode) as a new
// FacialRecognition whose confidence is the mean score of the all-time mode.
// A track without a voted class writes nothing. The vote counts
// "tracker_num_classes" classes (20 when absent), and never fewer than the
// model has labels.
//
// Example model map (the labels come with the model):
//   properties { key: "type" value { string_value: "BEARD" } }
//   properties { key: "engine" value { string_value: "ONNX" } }
//   properties { key: "content" value { entity_value {
//     properties { key: "caffemodel_file" value { string_value: "b.onnx" } }
//     properties { key: "prototxt_file" value { string_value: "" } }
//     properties { key: "input_channels" value { integer_value: 3 } }
//     properties { key: "labels" value { array_value {
//       values { string_value: "beard" } values { string_value: "nobeard" }
//     } } } } } }
//   properties { key: "config" value { entity_value {
//     properties { key: "tracker_num_recent" value { integer_value: 5 } }
//   } } }
#ifndef VISION_FACE_CLASSIFY_FACE_CLASSIFIERS_H_
#define VISION_FACE_CLASSIFY_FACE_CLASSIFIERS_H_

#include <cstdint>
#include <string>

#include "vision/detectors/object_classifier.h"
#include "vision/detectors/voting_classifier.h"
#include "vision/face/common/face_labels.h"

namespace talvenrook_vision {

// The recognition field that a LabelClassifier writes.
struct LabelField {
  const char* name;
  RecognitionTag tag;
  // Fills the field from a non-empty class name.
  void (*decode)(const std::string& label, FacialRecognition* recognition);
  // Sort key among the classifiers of a set, lower first.
  int order;
  // Null when the classifier runs on every face.
  bool (*applies_to)(const RectangularDetection& detection);
};

// EMOTION: emotion named by the label ("happy" -> HAPPY).
extern const LabelField kEmotionField;
// GENDER: gender named by the label ("male" -> MALE).
extern const LabelField kGenderField;
// TYPE_GLASS: "glasses", "noglasses", "sunglasses".
extern const LabelField kGlassField;
// HAVE_GLASS: have_glass is true for the label "withglass".
extern const LabelField kHaveGlassField;
// BEARD: beard is true for the label "beard". Runs only on faces that
// already carry a MALE gender recognition, so it sorts after the gender
// classifiers (order 100).
extern const LabelField kBeardField;
// MASK: mask is true for the label "mask". Sorts first (order -100).
extern const LabelField kMaskField;

class LabelClassifier final : public ObjectClassifier {
 public:
  // `field` must outlive the classifier (one of the fields above).
  explicit LabelClassifier(const LabelField& field);

  std::string Name() const override { return field_.name; }
  int Order() const override { return field_.order; }
  bool AppliesTo(const RectangularDetection& detection) const override;
  void Load(const Entity& pipeline_config, const Entity& model) override;
  std::string ClassifyRegion(const cv::Mat& image, int32_t track_id,
                             const cv::Rect& region, bool use_cache) override;
  void Annotate(int32_t track_id, RectangularDetection* detection,
                bool recent) override;
  bool HasVote(int32_t track_id) const override;
  void ForgetTrack(int32_t track_id) override;
  ClassifierModel* model() const override { return classifier_.model(); }

  std::string Label(int32_t track_id, bool recent) const;
  // The confidence that Annotate writes.
  float VoteScore(int32_t track_id) const;

 private:
  const LabelField& field_;
  VotingClassifier classifier_;
};

// SPOOF: the pipeline reads its label ("spoof") and writes the recognition
// itself, so Annotate writes nothing. "max_inferences" (model "config",
// -1 = unlimited) freezes a track's result once that many votes are held.
class SpoofDetector final : public ObjectClassifier {
 public:
  SpoofDetector();

  std::string Name() const override { return "spoof"; }
  void Load(const Entity& pipeline_config, const Entity& model) override;
  std::string ClassifyRegion(const cv::Mat& image, int32_t track_id,
                             const cv::Rect& region, bool use_cache) override;
  void Annotate(int32_t track_id, RectangularDetection* detection,
                bool recent) override {}
  bool HasVote(int32_t track_id) const override;
  void ForgetTrack(int32_t track_id) override;
  ClassifierModel* model() const override { return classifier_.model(); }

  std::string Label(int32_t track_id, bool recent) const;
  int32_t max_inferences() const { return max_inferences_; }
  // Number of votes counted for the track.
  int32_t VoteCount(int32_t track_id) const;

 private:
  VotingClassifier classifier_;
  int32_t max_inferences_ = -1;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_CLASSIFY_FACE_CLASSIFIERS_H_
