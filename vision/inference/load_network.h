// LoadNetwork: a bare cv::dnn::Net for components that run the network
// themselves.
//
// Reads the engine ("engine" of the model map, normalised; "Caffe" when
// absent), the geometry keys "input_size", "swap_input_channels",
// "input_channels" and "input_scale" from "content" then "config" into the
// caller's fields (absent keys leave them unchanged), and the network and
// weights as paths ("prototxt_file", "caffemodel_file") when "content" holds
// "prototxt_file", else as bytes ("prototxt", "caffemodel") through
// temporary files that are removed once the network is read.
//
// Returns an empty network, after an error line, when OpenCV cannot read it.
// When either path is empty it writes "Could not load the model." and still
// tries (an ONNX model needs no network definition).
#ifndef VISION_INFERENCE_LOAD_NETWORK_H_
#define VISION_INFERENCE_LOAD_NETWORK_H_

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "vision/config/entity_config.h"

namespace talvenrook_vision {

cv::dnn::Net LoadNetwork(const Entity& model, cv::Size* input_size,
                         bool* swap_channels, int* input_channels,
                         double* scale);

}  // namespace talvenrook_vision

#endif  // VISION_INFERENCE_LOAD_NETWORK_H_
