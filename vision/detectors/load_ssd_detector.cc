#include "vision/detectors/load_ssd_detector.h"

#include <iostream>

#include "vision/config/key_table.h"
#include "vision/inference/model_keys.h"

namespace talvenrook_vision {
namespace {

std::string Text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

void ApplyRunTimeKeys(const Entity& config, const ModelKeys& keys,
                      SSDDetector* detector) {
  if (HasProperty(config, "backend")) {
    std::cerr << "Configuring backend: " << keys.backend << std::endl;
    detector->SetBackend(keys.backend);
  }
  detector->set_use_edgetpu(keys.use_edgetpu);
  detector->set_tflite_threads(keys.num_tflite_threads);
  detector->set_use_xnnpack(keys.use_xnnpack);
  if (keys.use_xnnpack) std::cerr << "Enabling XNNPACK support" << std::endl;
  if (HasProperty(config, "target")) {
    std::cerr << "Configuring target: " << keys.target << std::endl;
    detector->SetTarget(keys.target);
  }
  // The boost multiplies the input size of every region.
  detector->set_accuracy_boost(keys.accuracy_boost);
}

}  // namespace

bool LoadSSDDetector(SSDDetector* detector, const Entity& model,
                     const std::vector<cv::Rect>& regions,
                     const std::string& engine) {
  if (!CheckModelSections(model)) {
    detector->SetLoadError("The model has no \"config\" or \"content\"");
    return false;
  }
  const Entity& config = AsEntity(GetProperty(model, "config"));
  const Entity& content = AsEntity(GetProperty(model, "content"));
  ModelKeys keys;
  keys.input_size = cv::Size(300, 300);
  keys.input_channels = 3;
  WriteKeyProblems(
      ModelKeyTable().ReadOnly(content, ModelGeometryKeys(), &keys));
  WriteKeyProblems(
      ModelKeyTable().ReadOnly(config, ModelGeometryKeys(), &keys));
  WriteKeyProblems(
      ModelKeyTable().ReadOnly(content, ModelPayloadKeys(), &keys));
  // Every slot of the ring holds an input blob and a result: the ring's
  // length is bounded.
  WriteKeyProblems(ModelKeyTable().ReadOnly(config, ModelConfigKeys(), &keys));
  if (HasProperty(config, "accuracy_boost"))
    std::cerr << "Accuracy boost: " << keys.accuracy_boost << std::endl;
  const float threshold = static_cast<float>(keys.confidence_th);
  const int queue_size = keys.async_queue_size;
  const SizeLimit limit{keys.detector_min_scale, keys.detector_max_scale};
  const cv::Size size = keys.input_size;
  const float scale = static_cast<float>(keys.input_scale);

  const std::string weights = Text(keys.caffemodel);
  const std::string& weights_path = keys.caffemodel_file;
  const bool from_files = weights.empty() && !weights_path.empty();
  if (weights.empty() && !from_files) {
    std::cerr << "Error: Model weights should be set" << std::endl;
    detector->SetLoadError("Model weights should be set");
    return false;
  }
  bool loaded = false;
  if (from_files) {
    loaded = detector->LoadFromFiles(
        keys.prototxt_file, weights_path, "", regions, {limit}, threshold,
        size.width, size.height, keys.input_mean, scale, keys.input_channels,
        keys.swap_input_channels, queue_size, engine);
    if (loaded) detector->set_labels(keys.labels);
  } else {
    loaded = detector->LoadFromBytes(
        Text(keys.prototxt), weights, keys.labels, regions, {limit}, threshold,
        size.width, size.height, keys.input_mean, scale, keys.input_channels,
        keys.swap_input_channels, queue_size, engine);
  }
  if (!loaded || !detector->CheckNetwork()) return false;
  ApplyRunTimeKeys(config, keys, detector);
  return true;
}

}  // namespace talvenrook_vision
