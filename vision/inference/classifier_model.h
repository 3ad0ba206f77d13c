// ClassifierModel: a synchronous predictor with its labels and the output of
// its last run, as the classifiers of the pipelines use it.
//
// Example model map (see ModelParameters for every key):
//   properties { key: "engine" value { string_value: "ONNX" } }
//   properties { key: "content" value { entity_value {
//     properties { key: "caffemodel_file" value { string_value: "dn.onnx" } }
//     properties { key: "input_channels" value { integer_value: 3 } }
//     properties { key: "input_size" value { size_value {
//       width: 8 height: 8 } } }
//     properties { key: "labels" value { array_value {
//       values { string_value: "day" } values { string_value: "night" } } } }
//   } } }
//   properties { key: "config" value { entity_value { } } }
#ifndef VISION_INFERENCE_CLASSIFIER_MODEL_H_
#define VISION_INFERENCE_CLASSIFIER_MODEL_H_

#include <memory>
#include <string>
#include <vector>

#include "absl/status/statusor.h"
#include "vision/config/entity_config.h"
#include "vision/inference/predictor.h"

namespace talvenrook_vision {

class ClassifierModel {
 public:
  ClassifierModel(std::unique_ptr<Predictor> predictor,
                  std::vector<std::string> labels);

  Predictor* predictor() const { return predictor_.get(); }
  const std::vector<std::string>& labels() const { return labels_; }

  // The output of the last run, kept by the classifier that ran it.
  std::vector<float>& last_output() { return last_output_; }

  // The label at `index`, or "" when the index is negative or too large.
  std::string Label(int index) const;

 private:
  std::unique_ptr<Predictor> predictor_;
  std::vector<float> last_output_;
  std::vector<std::string> labels_;
};

// A classifier over the model map's network (queue size 0, "backend" and
// "target" applied), or why the network cannot be loaded.
// "config" and "content" are required (MissingPropertyError otherwise).
absl::StatusOr<std::unique_ptr<ClassifierModel>> CreateClassifierModel(
    const Entity& model);

}  // namespace talvenrook_vision

#endif  // VISION_INFERENCE_CLASSIFIER_MODEL_H_
