#include "vision/inference/load_network.h"

#include <cstdio>
#include <iostream>
#include <string>

#include "vision/config/key_table.h"
#include "vision/config/setup_notes.h"
#include "vision/inference/model_keys.h"

namespace talvenrook_vision {
cv::dnn::Net LoadNetwork(const Entity& model, cv::Size* input_size,
                         bool* swap_channels, int* input_channels,
                         double* scale) {
  Entity empty;
  const Entity& content = HasProperty(model, "content")
                              ? AsEntity(GetProperty(model, "content"))
                              : empty;
  const Entity& config = HasProperty(model, "config")
                             ? AsEntity(GetProperty(model, "config"))
                             : empty;
  ModelKeys keys;
  keys.input_size = *input_size;
  keys.swap_input_channels = *swap_channels;
  keys.input_channels = *input_channels;
  keys.input_scale = *scale;
  const KeyTable<ModelKeys>& table = ModelKeyTable();
  WriteKeyProblems(table.ReadOnly(model, {"engine"}, &keys));
  for (const Entity* layer : {&content, &config}) {
    WriteKeyProblems(table.ReadOnly(
        *layer,
        {"input_size", "swap_input_channels", "input_channels", "input_scale"},
        &keys));
  }
  WriteKeyProblems(table.ReadOnly(
      content, {"prototxt_file", "caffemodel_file", "prototxt", "caffemodel"},
      &keys));
  *input_size = keys.input_size;
  *swap_channels = keys.swap_input_channels;
  *input_channels = keys.input_channels;
  *scale = keys.input_scale;
  const std::string engine = NormalizeEngineName(keys.engine);

  const bool from_files = HasProperty(content, "prototxt_file");
  std::string network_path, weights_path;
  if (from_files) {
    network_path = keys.prototxt_file;
    weights_path = keys.caffemodel_file;
  } else {
    network_path = WriteTemporaryFile(keys.prototxt);
    weights_path = WriteTemporaryFile(keys.caffemodel);
  }
  if (network_path.empty() || weights_path.empty())
    std::cerr << "Could not load the model." << std::endl;
  cv::dnn::Net net;
  try {
    net = cv::dnn::readNet(weights_path, network_path, engine);
  } catch (const cv::Exception& e) {
    NoteError(e.what());
    net = cv::dnn::Net();
  }
  if (!from_files) {
    if (!network_path.empty()) std::remove(network_path.c_str());
    if (!weights_path.empty()) std::remove(weights_path.c_str());
  }
  return net;
}

}  // namespace talvenrook_vision
