// Reading a network for OpenCVPredict: the network itself, one copy per
// extra inference worker, and the geometry it runs with, checked before it
// is used.
//
// Every refusal writes one line (an "ERROR: " line, or the fixed texts for
// temporary files and for a network without exactly one output) and comes
// back as a failed status with the reason the client reads. OpenCV's
// exceptions never escape.
#ifndef VISION_INFERENCE_NETWORK_LOADER_H_
#define VISION_INFERENCE_NETWORK_LOADER_H_

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "absl/status/statusor.h"

namespace talvenrook_vision {

// What to read. `network`, `weights` and `mean` are paths for
// LoadNetworkFromFiles and the bytes themselves for LoadNetworkFromBytes;
// `mean` may be empty.
struct NetworkRequest {
  std::string network;
  std::string weights;
  std::string mean;
  cv::Size input_size;
  int channels = -1;
  cv::Scalar mean_scalar{0, 0, 0, 0};
  double scale = 1.0;
  bool swap_channels = false;
  std::string engine;
  int queue_size = 0;
};

struct LoadedNetwork {
  cv::dnn::Net network;
  std::vector<cv::dnn::Net> copies;  // for the extra inference workers
  // Geometry in effect (from the request or, for Caffe, the network text).
  cv::Size input_size;
  int channels = 0;
  cv::Mat mean_image;  // empty unless a mean payload was given
  cv::Scalar mean_scalar{0, 0, 0, 0};
  double scale = 1.0;
  bool swap_channels = false;
  int output_size = 0;
  int queue_size = 0;
};

absl::StatusOr<LoadedNetwork> LoadNetworkFromFiles(
    const NetworkRequest& request);
absl::StatusOr<LoadedNetwork> LoadNetworkFromBytes(
    const NetworkRequest& request);

}  // namespace talvenrook_vision

#endif  // VISION_INFERENCE_NETWORK_LOADER_H_
