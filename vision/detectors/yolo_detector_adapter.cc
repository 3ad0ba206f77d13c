#include "vision/detectors/yolo_detector_adapter.h"

#include "vision/detectors/yolo_detector.h"

namespace talvenrook_vision {

std::unique_ptr<SSDDetector> YoloDetectorAdapter::NewDetector() const {
  return std::make_unique<YoloDetector>();
}

bool YoloDetectorAdapter::Configure(const KestuEyeConfig& config,
                                    const Entity& model) {
  const bool configured = SSDDetectorAdapter::Configure(config, model);
  float nms = YoloDetector::kDefaultNmsThreshold;
  if (HasProperty(model, "config")) {
    ReadPropertyIfPresent(AsEntity(GetProperty(model, "config")),
                          "nms_threshold", &nms);
  }
  static_cast<YoloDetector*>(detector())->set_nms_threshold(nms);
  return configured;
}

std::unique_ptr<DetectorAdapter> CreateYoloDetectorAdapter(
    const KestuEyeConfig& config, const Entity& model) {
  std::string type;
  ConvertValue(GetProperty(model, "type"), &type);
  if (type != "YOLO" && type != "YOLO-NIGHT") return nullptr;
  auto adapter = std::make_unique<YoloDetectorAdapter>();
  adapter->Configure(config, model);
  return adapter;
}

}  // namespace talvenrook_vision
