#include "vision/detectors/load_ssd_detector.h"

#include <iostream>

namespace talvenrook_vision {
namespace {

constexpr float kMaxAccuracyBoost = 4.0f;

struct SSDInput {
  cv::Size size{300, 300};
  bool swap = false;
  float scale = 1.0f;
  cv::Scalar mean{0, 0, 0, 0};
  int32_t channels = 3;
};

void ReadInput(const Entity& map, SSDInput* in) {
  ReadPropertyIfPresent(map, "input_size", &in->size);
  ReadPropertyIfPresent(map, "swap_input_channels", &in->swap);
  ReadPropertyIfPresent(map, "input_scale", &in->scale);
  ReadPropertyIfPresent(map, "input_mean_scale", &in->mean);
  ReadPropertyIfPresent(map, "input_mean_scalar", &in->mean);
  ReadPropertyIfPresent(map, "input_channels", &in->channels);
}

std::string Blob(const Entity& map, const std::string& key) {
  Bytes bytes;
  ReadPropertyIfPresent(map, key, &bytes);
  return std::string(bytes.begin(), bytes.end());
}

void ApplyRunTimeKeys(const Entity& config, SSDDetector* detector) {
  int32_t backend = 0;
  if (ReadPropertyIfPresent(config, "backend", &backend)) {
    std::cerr << "Configuring backend: " << backend << std::endl;
    detector->SetBackend(backend);
  }
  detector->set_use_edgetpu(GetPropertyOr(config, "use_edgetpu", true));
  detector->set_tflite_threads(
      GetPropertyOr<int32_t>(config, "num_tflite_threads", 4));
  const bool xnnpack = GetPropertyOr(config, "use_xnnpack", false);
  detector->set_use_xnnpack(xnnpack);
  if (xnnpack) std::cerr << "Enabling XNNPACK support" << std::endl;
  int32_t target = 0;
  if (ReadPropertyIfPresent(config, "target", &target)) {
    std::cerr << "Configuring target: " << target << std::endl;
    detector->SetTarget(target);
  }
  float boost = 1.0f;
  if (ReadPropertyIfPresent(config, "accuracy_boost", &boost))
    std::cerr << "Accuracy boost: " << boost << std::endl;
  // The boost multiplies the input size of every region.
  if (!(boost > 0.0f && boost <= kMaxAccuracyBoost)) {
    std::cerr << "WARNING: accuracy_boost must lie in (0, " << kMaxAccuracyBoost
              << "], got " << boost << "; using 1" << std::endl;
    boost = 1.0f;
  }
  detector->set_accuracy_boost(boost);
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
  SSDInput in;
  ReadInput(content, &in);
  ReadInput(config, &in);
  const float threshold = GetPropertyOr(config, "confidence_th", 0.01f);
  int32_t queue_size = GetPropertyOr<int32_t>(config, "async_queue_size", 2);
  // Every slot of the ring holds an input blob and a result.
  if (queue_size < 0 || queue_size > OpenCVPredict::kMaxQueueSize) {
    std::cerr << "WARNING: async_queue_size must lie in [0, "
              << OpenCVPredict::kMaxQueueSize << "], got " << queue_size
              << "; using 2" << std::endl;
    queue_size = 2;
  }
  std::vector<std::string> labels;
  ReadPropertyIfPresent(content, "labels", &labels);
  const SizeLimit limit{GetPropertyOr<int32_t>(config, "detector_min_scale", 0),
                        GetPropertyOr<int32_t>(config, "detector_max_scale",
                                               SSDDetector::kNoMaximum)};

  const std::string weights = Blob(content, "caffemodel");
  std::string weights_path;
  const bool from_files =
      weights.empty() &&
      ReadPropertyIfPresent(content, "caffemodel_file", &weights_path) &&
      !weights_path.empty();
  if (weights.empty() && !from_files) {
    std::cerr << "Error: Model weights should be set" << std::endl;
    detector->SetLoadError("Model weights should be set");
    return false;
  }
  bool loaded = false;
  if (from_files) {
    const std::string network_path =
        GetPropertyOr(content, "prototxt_file", "");
    loaded = detector->LoadFromFiles(network_path, weights_path, "", regions,
                                     {limit}, threshold, in.size.width,
                                     in.size.height, in.mean, in.scale,
                                     in.channels, in.swap, queue_size, engine);
    if (loaded) detector->set_labels(labels);
  } else {
    loaded = detector->LoadFromBytes(Blob(content, "prototxt"), weights, labels,
                                     regions, {limit}, threshold, in.size.width,
                                     in.size.height, in.mean, in.scale,
                                     in.channels, in.swap, queue_size, engine);
  }
  if (!loaded || !detector->CheckNetwork()) return false;
  ApplyRunTimeKeys(config, detector);
  return true;
}

}  // namespace talvenrook_vision
