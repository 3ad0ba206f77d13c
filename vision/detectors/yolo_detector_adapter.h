// YoloDetectorAdapter: the DetectorAdapter over a YoloDetector, for models
// of type "YOLO" and "YOLO-NIGHT" (registry name "YOLO").
//
// It reads the same keys as the SSD adapter (network and weights as bytes
// or files, engine "Darknet" or "ONNX", "input_size", "input_scale",
// "swap_input_channels", "confidence_th", "labels", and the optical-flow
// keys of the pipeline) plus "nms_threshold" (default 0.45) from the
// model's "config".
//
// Example model map:
//   properties { key: "type" value { string_value: "YOLO" } }
//   properties { key: "version" value { string_value: "1.1" } }
//   properties { key: "engine" value { string_value: "Darknet" } }
//   properties { key: "content" value { entity_value {
//     properties { key: "prototxt_file" value { string_value: "y.cfg" } }
//     properties { key: "caffemodel_file" value { string_value: "y.weights" } }
//     properties { key: "input_size" value { size_value { width: 320 height:
//     320 } } } properties { key: "input_scale" value { double_value:
//     0.00392157 } } properties { key: "swap_input_channels" value {
//     boolean_value: true } } properties { key: "labels" value { array_value {
//       values { string_value: "person" } } } } } } }
//   properties { key: "config" value { entity_value {
//     properties { key: "confidence_th" value { double_value: 0.3 } }
//     properties { key: "nms_threshold" value { double_value: 0.45 } } } } }
#ifndef VISION_DETECTORS_YOLO_DETECTOR_ADAPTER_H_
#define VISION_DETECTORS_YOLO_DETECTOR_ADAPTER_H_

#include <memory>
#include <string>

#include "vision/detectors/ssd_detector_adapter.h"

namespace talvenrook_vision {

class YoloDetectorAdapter : public SSDDetectorAdapter {
 public:
  bool Configure(const KestuEyeConfig& config, const Entity& model) override;

 protected:
  std::unique_ptr<SSDDetector> NewDetector() const override;
  std::string OutputLayerFor(const std::string& model_type) const override {
    return "";  // every output layer, see YoloDetector
  }
};

std::unique_ptr<DetectorAdapter> CreateYoloDetectorAdapter(
    const KestuEyeConfig& config, const Entity& model);

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_YOLO_DETECTOR_ADAPTER_H_
