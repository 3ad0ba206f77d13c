// The keys of a model map ("models" of the configuration) and of its
// "content" and "config" maps, declared once each in one table: every
// loader of a network (predictors, classifiers, SSD and YOLO detectors)
// reads them through it, so that a key has one parser and one default.
//
// Layers: the model map holds "type", "version", "engine" and the maps
// "content" and "config" (read in place, not copied). The input geometry keys
// may stand in "content" and in "config" ("config" wins); the payload keys
// (labels, network, weights, mean) are read from "content" only; the detection
// and run-time keys from "config" only.
//
// Example model map (protobuf text format):
//   properties { key: "type" value { string_value: "SSD" } }
//   properties { key: "engine" value { string_value: "Tensorflow" } }
//   properties { key: "content" value { entity_value {
//     properties { key: "caffemodel_file" value { string_value: "f.pb" } }
//     properties { key: "input_size" value { size_value {
//       width: 300 height: 300 } } } } } }
//   properties { key: "config" value { entity_value {
//     properties { key: "confidence_th" value { double_value: 0.7 } }
//     properties { key: "async_queue_size" value { integer_value: 2 } }
//   } } }
#ifndef VISION_INFERENCE_MODEL_KEYS_H_
#define VISION_INFERENCE_MODEL_KEYS_H_

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/config/key_table.h"

namespace talvenrook_vision {

struct ModelKeys {
  // The model map.
  std::string type;
  std::string version;
  std::string engine = "Caffe";  // as given; see NormalizeEngineName
  // Input geometry ("content", then "config").
  cv::Size input_size{0, 0};
  bool swap_input_channels = false;
  int32_t input_channels = -1;
  double input_scale = 1.0;
  cv::Scalar input_mean{0, 0, 0, 0};  // "input_mean_scale"/"_scalar"
  // Payload ("content").
  std::vector<std::string> labels;
  Bytes prototxt;
  Bytes caffemodel;
  Bytes input_mean_bytes;
  std::string prototxt_file;
  std::string caffemodel_file;
  std::string input_mean_file;
  // Detection ("config").
  double confidence_th = 0.01;
  float nms_threshold = 0.45f;
  int32_t async_queue_size = 2;
  int32_t detector_min_scale = 0;
  int32_t detector_max_scale = 2147483647;
  // Run time ("config").
  int32_t backend = 0;
  int32_t target = 0;
  bool use_edgetpu = true;
  int32_t num_tflite_threads = 4;
  bool use_xnnpack = false;
  float accuracy_boost = 1.0f;
  // Haar cascade ("content": the cascade; "config": the rest).
  Bytes cascade;
  double scale_factor = 1.1;
  int32_t min_neighbors = 2;
  int32_t min_size = 30;
  int32_t max_size = 250;
};

// Built on first use; safe to call from any thread.
const KeyTable<ModelKeys>& ModelKeyTable();

// The keys of each layer, in the table's order.
const std::vector<std::string>& ModelMapKeys();
const std::vector<std::string>& ModelGeometryKeys();
const std::vector<std::string>& ModelPayloadKeys();
const std::vector<std::string>& ModelConfigKeys();  // detection, run time
const std::vector<std::string>& HaarConfigKeys();

// Reads the model map's own keys, then "content" (geometry and payload),
// then "config" (geometry, detection and run time) into *keys, over the
// values it holds (so a caller may start from defaults of its own). An
// absent "content" or "config" reads as an empty map. Returns the
// problems met, for WriteKeyProblems.
std::vector<KeyProblem> ReadModelKeys(const Entity& model, ModelKeys* keys);

// The model map's "type", "version" or "engine" (as given), for the
// readers that require it: MissingPropertyError when absent.
std::string RequiredModelKey(const Entity& model, const std::string& key);

}  // namespace talvenrook_vision

#endif  // VISION_INFERENCE_MODEL_KEYS_H_
