#include "vision/detectors/yolo_detector_adapter.h"

#include "vision/detectors/yolo_detector.h"
#include "vision/inference/model_keys.h"

namespace talvenrook_vision {

std::unique_ptr<SSDDetector> YoloDetectorAdapter::NewDetector() const {
  return std::make_unique<YoloDetector>();
}

bool YoloDetectorAdapter::Configure(const KestuEyeConfig& config,
                                    const Entity& model) {
  const bool configured = SSDDetectorAdapter::Configure(config, model);
  ModelKeys keys;
  keys.nms_threshold = YoloDetector::kDefaultNmsThreshold;
  if (HasProperty(model, "config")) {
    WriteKeyProblems(ModelKeyTable().ReadOnly(
        AsEntity(GetProperty(model, "config")), {"nms_threshold"}, &keys));
  }
  static_cast<YoloDetector*>(detector())->set_nms_threshold(keys.nms_threshold);
  return configured;
}

std::unique_ptr<DetectorAdapter> CreateYoloDetectorAdapter(
    const KestuEyeConfig& config, const Entity& model) {
  const std::string type = RequiredModelKey(model, "type");
  if (type != "YOLO" && type != "YOLO-NIGHT") return nullptr;
  auto adapter = std::make_unique<YoloDetectorAdapter>();
  adapter->Configure(config, model);
  return adapter;
}

}  // namespace talvenrook_vision
