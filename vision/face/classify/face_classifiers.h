// The face classifiers whose model gives one score per class name: emotion,
// gender, glasses, have-glass, beard, mask and spoof.
//
// Each is a BaseDetector: it runs its network on a face crop, votes the
// winning class per track, and Annotate writes the voted class (the recent
// mode when `recent` is set, else the all-time mode) as a new
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

#include "vision/detectors/base_detector.h"
#include "vision/face/common/face_labels.h"

namespace talvenrook_vision {

// Annotate for classifiers with one class name per output.
class LabelClassifier : public BaseDetector {
 public:
  // The vote counts at least as many classes as the model has labels.
  void Configure(const Entity& config) override;
  void Annotate(int32_t track_id, RectangularDetection* detection,
                bool recent) override;

 protected:
  virtual RecognitionTag Tag() const = 0;
  // Fills the classifier's field from a non-empty class name.
  virtual void Decode(const std::string& label,
                      FacialRecognition* recognition) const = 0;
};

// EMOTION: emotion named by the label ("happy" -> HAPPY).
class EmotionDetector : public LabelClassifier {
 public:
  std::string Name() const override { return "emotion"; }

 protected:
  RecognitionTag Tag() const override;
  void Decode(const std::string& label, FacialRecognition* r) const override;
};

// GENDER: gender named by the label ("male" -> MALE).
class GenderDetector : public LabelClassifier {
 public:
  std::string Name() const override { return "gender"; }

 protected:
  RecognitionTag Tag() const override;
  void Decode(const std::string& label, FacialRecognition* r) const override;
};

// TYPE_GLASS: "glasses", "noglasses", "sunglasses".
class GlassDetector : public LabelClassifier {
 public:
  std::string Name() const override { return "glass"; }

 protected:
  RecognitionTag Tag() const override;
  void Decode(const std::string& label, FacialRecognition* r) const override;
};

// HAVE_GLASS: have_glass is true for the label "withglass".
class HaveGlassDetector : public LabelClassifier {
 public:
  std::string Name() const override { return "have_glass"; }

 protected:
  RecognitionTag Tag() const override;
  void Decode(const std::string& label, FacialRecognition* r) const override;
};

// BEARD: beard is true for the label "beard". Runs only on faces that
// already carry a MALE gender recognition, so it sorts after the gender
// classifiers (Order 100).
class BeardDetector : public LabelClassifier {
 public:
  std::string Name() const override { return "beard"; }
  int Order() const override { return 100; }
  bool AppliesTo(const RectangularDetection& detection) const override;

 protected:
  RecognitionTag Tag() const override;
  void Decode(const std::string& label, FacialRecognition* r) const override;
};

// MASK: mask is true for the label "mask". Sorts first (Order -100).
class MaskDetector : public LabelClassifier {
 public:
  std::string Name() const override { return "mask"; }
  int Order() const override { return -100; }

 protected:
  RecognitionTag Tag() const override;
  void Decode(const std::string& label, FacialRecognition* r) const override;
};

// SPOOF: the pipeline reads its label ("spoof") and writes the recognition
// itself, so Annotate writes nothing. "max_inferences" (model "config",
// -1 = unlimited) freezes a track's result once that many votes are held.
class SpoofDetector : public BaseDetector {
 public:
  std::string Name() const override { return "spoof"; }
  void Configure(const Entity& config) override;
  std::string ClassifyRegion(const cv::Mat& image, int32_t track_id,
                             const cv::Rect& region, bool use_cache) override;

  int32_t max_inferences() const { return max_inferences_; }
  // Number of votes counted for the track.
  int32_t VoteCount(int32_t track_id) const;

 private:
  int32_t max_inferences_ = -1;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_CLASSIFY_FACE_CLASSIFIERS_H_
