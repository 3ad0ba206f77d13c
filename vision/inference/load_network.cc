#include "vision/inference/load_network.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace talvenrook_vision {
namespace {

void ReadLayer(const Entity& map, cv::Size* input_size, bool* swap_channels,
               int* input_channels, double* scale) {
  ReadPropertyIfPresent(map, "input_size", input_size);
  ReadPropertyIfPresent(map, "swap_input_channels", swap_channels);
  ReadPropertyIfPresent(map, "input_channels", input_channels);
  ReadPropertyIfPresent(map, "input_scale", scale);
}

std::string TemporaryFileFor(const Entity& content, const std::string& key) {
  Bytes bytes;
  ReadPropertyIfPresent(content, key, &bytes);
  return WriteTemporaryFile(bytes);
}

}  // namespace

cv::dnn::Net LoadNetwork(const Entity& model, cv::Size* input_size,
                         bool* swap_channels, int* input_channels,
                         double* scale) {
  std::string engine = "Caffe";
  if (ReadPropertyIfPresent(model, "engine", &engine))
    engine = NormalizeEngineName(engine);
  Entity empty;
  const Entity& content = HasProperty(model, "content")
                              ? AsEntity(GetProperty(model, "content"))
                              : empty;
  const Entity& config = HasProperty(model, "config")
                             ? AsEntity(GetProperty(model, "config"))
                             : empty;
  ReadLayer(content, input_size, swap_channels, input_channels, scale);
  ReadLayer(config, input_size, swap_channels, input_channels, scale);

  const bool from_files = HasProperty(content, "prototxt_file");
  std::string network_path, weights_path;
  if (from_files) {
    ReadPropertyIfPresent(content, "prototxt_file", &network_path);
    ReadPropertyIfPresent(content, "caffemodel_file", &weights_path);
  } else {
    network_path = TemporaryFileFor(content, "prototxt");
    weights_path = TemporaryFileFor(content, "caffemodel");
  }
  if (network_path.empty() || weights_path.empty())
    std::cerr << "Could not load the model." << std::endl;
  cv::dnn::Net net;
  try {
    net = cv::dnn::readNet(weights_path, network_path, engine);
  } catch (const cv::Exception& e) {
    std::cerr << "ERROR: " << e.what() << std::endl;
    net = cv::dnn::Net();
  }
  if (!from_files) {
    if (!network_path.empty()) std::remove(network_path.c_str());
    if (!weights_path.empty()) std::remove(weights_path.c_str());
  }
  return net;
}

}  // namespace talvenrook_vision
