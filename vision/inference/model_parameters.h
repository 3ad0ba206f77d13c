// ModelParameters: the input geometry and payload of one model map, and the
// factory that turns a model map into a loaded predictor.
//
// Geometry keys may stand in "content" and in "config"; "config" wins.
// Payload keys ("labels", network, weights, mean) are read from "content"
// only; run-time keys ("backend", "target") from "config" only. The network
// and weights are paths when "content" holds "prototxt_file" (or holds
// "caffemodel_file" without "caffemodel" bytes), bytes otherwise.
//
// Example model map:
//   properties { key: "engine" value { string_value: "CAFFE" } }
//   properties { key: "content" value { entity_value {
//     properties { key: "prototxt" value { blob_value: "..." } }
//     properties { key: "caffemodel" value { blob_value: "..." } }
//     properties { key: "labels" value { array_value {
//       values { string_value: "day" } values { string_value: "night" } } } }
//   } } }
//   properties { key: "config" value { entity_value {
//     properties { key: "input_scale" value { double_value: 0.0039 } }
//     properties { key: "backend" value { integer_value: 3 } } } } }
#ifndef VISION_INFERENCE_MODEL_PARAMETERS_H_
#define VISION_INFERENCE_MODEL_PARAMETERS_H_

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "absl/status/status.h"
#include "absl/status/statusor.h"
#include "vision/config/entity_config.h"
#include "vision/inference/opencv_predict.h"

namespace talvenrook_vision {

struct ModelParameters {
  bool swap_channels = false;
  cv::Size input_size{0, 0};
  int input_channels = -1;
  double scale = 1.0;
  cv::Scalar mean_scalar{0, 0, 0, 0};
  std::vector<std::string> labels;
  std::string network;       // path or bytes
  std::string weights;       // path or bytes
  std::string mean_payload;  // path or bytes
  bool from_files = false;
  std::string engine = "Caffe";
};

// Reads the parameters of a model map. "config" and "content" are required
// (MissingPropertyError otherwise).
ModelParameters ReadModelParameters(const Entity& model);

// Applies the geometry keys of one sub-map ("content" or "config") that the
// caller reads in layers. Absent keys leave the fields unchanged.
void ReadGeometry(const Entity& map, ModelParameters* parameters);

// Applies the run-time keys of a model's "config" map ("backend",
// "target") to a predictor; absent keys leave it as it is.
void ApplyRunTimeSettings(const Entity& config, OpenCVPredict* predictor);

// A synchronous predictor (queue size 0) loaded from the model map, with
// "backend" and "target" of "config" applied, or why it cannot be loaded.
absl::StatusOr<std::unique_ptr<OpenCVPredict>> CreatePredictor(
    const Entity& model);

// Loads `predictor` from the parameters with the given ring length.
absl::Status LoadPredictor(const ModelParameters& parameters, int queue_size,
                           OpenCVPredict* predictor);

}  // namespace talvenrook_vision

#endif  // VISION_INFERENCE_MODEL_PARAMETERS_H_
