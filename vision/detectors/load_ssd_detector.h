// LoadSSDDetector: loads an SSDDetector from a model map.
//
// Reads, with "config" overriding "content" where both apply:
// "input_size" (300 x 300), "swap_input_channels" (false), "input_scale"
// (1.0), "input_mean_scale"/"input_mean_scalar" (0, 0, 0, 0),
// "input_channels" (3); from "config" only "confidence_th" (0.01),
// "async_queue_size" (2), "detector_min_scale" (0), "detector_max_scale"
// (2147483647); from "content" only "labels", "caffemodel" and "prototxt"
// (bytes) or "caffemodel_file" and "prototxt_file" (paths). Then the
// run-time keys of "config": "backend", "use_edgetpu",
// "num_tflite_threads", "use_xnnpack", "target", "accuracy_boost".
//
// Example model map:
//   properties { key: "type" value { string_value: "SSD" } }
//   properties { key: "engine" value { string_value: "Tensorflow" } }
//   properties { key: "content" value { entity_value {
//     properties { key: "caffemodel" value { blob_value: "..." } }
//     properties { key: "prototxt" value { blob_value: "..." } }
//     properties { key: "input_mean_scale" value { array_value {
//       values { integer_value: 104 } values { integer_value: 177 }
//       values { integer_value: 123 } } } } } } }
//   properties { key: "config" value { entity_value {
//     properties { key: "confidence_th" value { double_value: 0.7 } } } } }
#ifndef VISION_DETECTORS_LOAD_SSD_DETECTOR_H_
#define VISION_DETECTORS_LOAD_SSD_DETECTOR_H_

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/config/entity_config.h"
#include "vision/detectors/ssd_detector.h"

namespace talvenrook_vision {

// False, after its message, when "config" or "content" is missing, when
// there are no weights ("Error: Model weights should be set") or when the
// detector refuses the load.
bool LoadSSDDetector(SSDDetector* detector, const Entity& model,
                     const std::vector<cv::Rect>& regions,
                     const std::string& engine);

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_LOAD_SSD_DETECTOR_H_
