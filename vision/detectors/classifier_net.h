// ClassifierNet: the network of a classifier, loaded from a model map, with
// the classifier's confidence threshold.
//
// Load reads the model map ("engine" required; "TFLITE" leaves the
// classifier without a network; a network that cannot be read leaves none
// and says why in load_error). Run picks the first index whose output is
// strictly the largest and above 0.0, or (-1, 0.0). Every run keeps the
// network's output as the model's last_output.
//
// Example model map:
//   properties { key: "type" value { string_value: "FAMILY_CAR" } }
//   properties { key: "engine" value { string_value: "ONNX" } }
//   properties { key: "content" value { entity_value { ... } } }
// and in the pipeline config map, for a classifier named "family_car":
//   properties { key: "family_car_confidence_threshold"
//                value { double_value: 0.6 } }
#ifndef VISION_DETECTORS_CLASSIFIER_NET_H_
#define VISION_DETECTORS_CLASSIFIER_NET_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/config/entity_config.h"
#include "vision/detectors/class_vote.h"
#include "vision/inference/classifier_model.h"

namespace talvenrook_vision {

// The model map's "config" map; an empty map when it has none.
const Entity& ModelConfig(const Entity& model);

class ClassifierNet {
 public:
  ClassifierNet();
  ~ClassifierNet();

  // Reads name + "_confidence_threshold" from the pipeline config map when
  // present, and reports it.
  void ReadThreshold(const Entity& pipeline_config, const std::string& name);
  void Load(const Entity& model);

  // Runs the network on the image; null without a network.
  std::vector<float>* Predict(const cv::Mat& image);
  // The best output as described above; (-1, 0.0) without a network.
  ClassScore Run(const cv::Mat& image);
  // The model's class name; "" out of range or without a network.
  std::string Label(int32_t index) const;
  // Number of class names the model brings (0 without a network).
  int32_t label_count() const;

  bool HasModel() const { return model_ != nullptr; }
  ClassifierModel* model() const { return model_.get(); }
  // Why the last Load gave no network (empty when it loaded, or for an
  // engine that is not run).
  const std::string& load_error() const { return load_error_; }
  float threshold() const { return threshold_; }
  void set_threshold(float threshold) { threshold_ = threshold; }

 private:
  std::unique_ptr<ClassifierModel> model_;
  std::string load_error_;
  float threshold_ = 0.0f;
};

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_CLASSIFIER_NET_H_
