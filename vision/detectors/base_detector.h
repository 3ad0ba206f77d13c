// BaseDetector: the common classifier over a ClassifierModel, with a
// confidence threshold, a per-track result table and a per-track class vote.
//
// Contract:
//  - Load reads Name() + "_confidence_threshold" from the pipeline config
//    map (when present), loads the model from the model map ("engine"
//    required; "TFLITE" leaves the classifier without a model) and
//    configures the vote from the model's "config" map, which turns voting
//    on.
//  - RunClassifier picks the first index whose output is strictly the
//    largest and above 0.0, or (-1, 0.0).
//  - ClassifyRegion keeps only results strictly above the threshold; with
//    the use-cache flag and a track the vote already holds it does not run
//    the network.
//  - Not thread-safe: one analytics thread.
//
// Example model map:
//   properties { key: "type" value { string_value: "FAMILY_CAR" } }
//   properties { key: "engine" value { string_value: "ONNX" } }
//   properties { key: "content" value { entity_value { ... } } }
//   properties { key: "config" value { entity_value {
//     properties { key: "tracker_num_classes" value { integer_value: 2 } }
//   } } }
// and in the pipeline config map:
//   properties { key: "family_car_confidence_threshold"
//                value { double_value: 0.6 } }
#ifndef VISION_DETECTORS_BASE_DETECTOR_H_
#define VISION_DETECTORS_BASE_DETECTOR_H_

#include <memory>
#include <unordered_map>

#include "vision/detectors/detector.h"
#include "vision/inference/classifier_model.h"
#include "vision/tracking/tracker_mode.h"

namespace talvenrook_vision {

class BaseDetector : public Detector {
 public:
  BaseDetector();
  ~BaseDetector() override;

  void Load(const Entity& pipeline_config, const Entity& model) override;
  void LoadModel(const Entity& model) override;
  void Configure(const Entity& config) override;
  std::string ClassifyRegion(const cv::Mat& image, int32_t track_id,
                             const cv::Rect& region, bool use_cache) override;
  ClassScore RunClassifier(const cv::Mat& image, int32_t track_id) override;
  void AddVote(int32_t track_id, const ClassScore& result) override;
  void ForgetTrack(int32_t track_id) override;
  std::string Label(int32_t track_id, bool recent) override;
  bool HasVote(int32_t track_id) const override;
  float VoteUncertainty(int32_t track_id) const override;
  // 0.0 when the result table has no entry for the track, else the mean
  // score of the vote's mode.
  virtual float VoteScore(int32_t track_id) const;

  bool HasModel() const { return model_ != nullptr; }
  // Why the last LoadModel gave no model (empty when it loaded, or for an
  // engine that is not run).
  const std::string& load_error() const { return load_error_; }
  ClassifierModel* model() const { return model_.get(); }
  float confidence_threshold() const { return confidence_threshold_; }
  void set_confidence_threshold(float threshold) {
    confidence_threshold_ = threshold;
  }

 protected:
  std::unordered_map<int32_t, ClassScore> results_;
  std::unique_ptr<ClassifierModel> model_;
  std::string load_error_;
  TrackerMode vote_;
  float confidence_threshold_ = 0.0f;
};

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_BASE_DETECTOR_H_
