#include "vision/inference/network_loader.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <thread>
#include <utility>

#include "vision/config/entity_config.h"
#include "vision/config/setup_notes.h"
#include "vision/config/setup_status.h"
#include "vision/inference/darknet_text_check.h"
#include "vision/inference/mean_payload.h"
#include "vision/inference/model_files_check.h"
#include "vision/inference/opencv_predict.h"

namespace talvenrook_vision {
namespace {

using NetOr = absl::StatusOr<cv::dnn::Net>;

// Writes the reason as an "ERROR: " line and returns it as the failure.
absl::Status Refuse(const std::string& reason) {
  NoteError(reason);
  return SetupError(reason);
}

std::vector<uchar> AsBuffer(const std::string& bytes) {
  return std::vector<uchar>(bytes.begin(), bytes.end());
}

NetOr ReadFiles(const std::string& network_path,
                const std::string& weights_path, const std::string& engine) {
  cv::dnn::Net net;
  try {
    if (engine == "DLDT" || engine == "Torch") {
      net = cv::dnn::readNet(weights_path, network_path, engine);
    } else {
      net = cv::dnn::readNetFromONNX(weights_path);
    }
  } catch (const std::exception& e) {
    // OpenCV's readers also throw the standard library's exceptions (a
    // number out of range in a network text, a file that cannot be read).
    return Refuse(e.what());
  }
  if (net.empty()) return Refuse("The network is empty");
  return net;
}

NetOr ReadThroughTemporaryFiles(const std::string& network_bytes,
                                const std::string& weights_bytes,
                                const std::string& engine) {
  const std::string network_path = WriteTemporaryFile(network_bytes);
  const std::string weights_path = WriteTemporaryFile(weights_bytes);
  NetOr net = SetupError("Could not save temporary files");
  if (!network_path.empty() && !weights_path.empty()) {
    net = ReadFiles(network_path, weights_path, engine);
  } else {
    std::cerr << "Could not save temporary files. Please use files instead of "
                 "buffers for DLDT and Torch."
              << std::endl;
  }
  if (!network_path.empty()) std::remove(network_path.c_str());
  if (!weights_path.empty()) std::remove(weights_path.c_str());
  return net;
}

NetOr ReadBytes(const std::string& network_bytes,
                const std::string& weights_bytes, const std::string& engine) {
  if (engine == "DLDT" || engine == "Torch")
    return ReadThroughTemporaryFiles(network_bytes, weights_bytes, engine);
  if (engine == "Darknet") {
    // OpenCV's reader trusts the text's indexes and strides.
    const std::string refusal = CheckDarknetText(network_bytes);
    if (!refusal.empty()) return Refuse(refusal);
  }
  cv::dnn::Net net;
  try {
    if (engine == "ONNX") {
      net =
          cv::dnn::readNetFromONNX(weights_bytes.data(), weights_bytes.size());
    } else {
      net = cv::dnn::readNet(engine, AsBuffer(weights_bytes),
                             AsBuffer(network_bytes));
    }
  } catch (const std::exception& e) {
    return Refuse(e.what());
  }
  if (net.empty()) return Refuse("The network is empty");
  return net;
}

// The size of the last layer's one output (the number of classes of a
// classifier).
absl::StatusOr<int> OutputSize(cv::dnn::Net& net, const LoadedNetwork& n) {
  const absl::Status not_one =
      SetupError("Network should have exactly one output");
  try {
    const std::vector<cv::String> names = net.getLayerNames();
    if (names.empty()) {
      std::cerr << "Error: Network should have exactly one output."
                << std::endl;
      return not_one;
    }
    const int last = net.getLayerId(names.back());
    const cv::dnn::MatShape input = {1, n.channels, n.input_size.height,
                                     n.input_size.width};
    std::vector<cv::dnn::MatShape> in_shapes, out_shapes;
    net.getLayerShapes(input, last, in_shapes, out_shapes);
    if (out_shapes.size() != 1) {
      std::cerr << "Error: Network should have exactly one output."
                << std::endl;
      return not_one;
    }
    return out_shapes[0].size() > 1 ? out_shapes[0][1] : 0;
  } catch (const std::exception& e) {
    return Refuse(e.what());
  }
}

// Checks the request's geometry against the network read, and completes
// `loaded` with it.
absl::Status Finish(const NetworkRequest& r, const std::string& mean_payload,
                    LoadedNetwork* loaded) {
  if (!OpenCVPredict::InputSizeAllowed(loaded->input_size)) {
    return Refuse(
        "The input size " + std::to_string(loaded->input_size.width) + " x " +
        std::to_string(loaded->input_size.height) + " is beyond the limit of " +
        std::to_string(OpenCVPredict::kMaxInputSide) + " pixels a side and " +
        std::to_string(OpenCVPredict::kMaxInputPixels) + " pixels");
  }
  if (r.queue_size > OpenCVPredict::kMaxQueueSize) {
    return Refuse("The inference queue size " + std::to_string(r.queue_size) +
                  " is beyond " + std::to_string(OpenCVPredict::kMaxQueueSize));
  }
  loaded->scale = r.scale;
  loaded->swap_channels = r.swap_channels;
  if (loaded->channels < 1 && r.engine != "Caffe")
    return Refuse("input_channels is required for engine " + r.engine);
  absl::StatusOr<int> output = OutputSize(loaded->network, *loaded);
  if (!output.ok()) return output.status();
  loaded->output_size = *output;
  if (!mean_payload.empty()) {
    absl::StatusOr<cv::Mat> mean = ParseMeanPayload(mean_payload);
    if (!mean.ok()) return Refuse(MessageOf(mean.status()));
    loaded->mean_image = std::move(*mean);
  } else {
    loaded->mean_scalar = r.mean_scalar;
  }
  loaded->queue_size = std::max(r.queue_size, 0);
  return absl::OkStatus();
}

// One copy of the network per extra worker, up to one worker per core; the
// workers that have a network run.
void AddCopies(int queue_size, const std::function<NetOr()>& read,
               LoadedNetwork* loaded) {
  const int cores = std::max(1u, std::thread::hardware_concurrency());
  const int copies = std::min(queue_size, cores) - 1;
  for (int i = 0; i < copies; ++i) {
    NetOr copy = read();
    if (!copy.ok()) return;
    loaded->copies.push_back(std::move(*copy));
  }
}

absl::StatusOr<LoadedNetwork> Load(const NetworkRequest& r,
                                   const std::string& mean_payload,
                                   const std::function<NetOr()>& read) {
  NetOr net = read();
  if (!net.ok()) return net.status();
  LoadedNetwork loaded;
  loaded.network = std::move(*net);
  loaded.input_size = r.input_size;
  loaded.channels = r.channels;
  if ((r.channels < 1 || r.input_size.width < 1 || r.input_size.height < 1) &&
      r.engine == "Caffe") {
    // The network text's own geometry.
    const std::vector<int> dims =
        OpenCVPredict::NetworkTextDimensions(r.network);
    if (dims.size() >= 4) {
      loaded.channels = dims[1];
      loaded.input_size = cv::Size(dims[3], dims[2]);
    }
  }
  const absl::Status finished = Finish(r, mean_payload, &loaded);
  if (!finished.ok()) return finished;
  AddCopies(r.queue_size, read, &loaded);
  return loaded;
}

}  // namespace

absl::StatusOr<LoadedNetwork> LoadNetworkFromBytes(const NetworkRequest& r) {
  return Load(r, r.mean,
              [&] { return ReadBytes(r.network, r.weights, r.engine); });
}

absl::StatusOr<LoadedNetwork> LoadNetworkFromFiles(const NetworkRequest& r) {
  std::string mean_payload;
  if (!r.mean.empty()) {
    absl::StatusOr<std::string> mean = ReadModelFile(r.mean);
    if (!mean.ok() || mean->empty()) {
      return Refuse("Could not read the mean file " + r.mean +
                    (mean.ok() ? "" : ": " + MessageOf(mean.status())));
    }
    mean_payload = std::move(*mean);
  }
  if (r.engine != "DLDT" && r.engine != "Torch" && r.engine != "ONNX") {
    // Read whole: the network text's geometry and the Darknet checks need
    // the bytes.
    absl::StatusOr<std::string> network = ReadModelFile(r.network);
    absl::StatusOr<std::string> weights =
        network.ok() ? ReadModelFile(r.weights) : network;
    if (!weights.ok()) return Refuse(MessageOf(weights.status()));
    NetworkRequest bytes = r;
    bytes.network = std::move(*network);
    bytes.weights = std::move(*weights);
    return Load(bytes, mean_payload, [&] {
      return ReadBytes(bytes.network, bytes.weights, bytes.engine);
    });
  }
  for (const std::string* path : {&r.network, &r.weights}) {
    std::error_code code;
    if (!path->empty() && std::filesystem::is_directory(*path, code)) {
      return Refuse("Cannot read the model file \"" + *path +
                    "\": not a regular file");
    }
  }
  return Load(r, mean_payload,
              [&] { return ReadFiles(r.network, r.weights, r.engine); });
}

}  // namespace talvenrook_vision
