#include "vision/inference/model_parameters.h"

namespace talvenrook_vision {
namespace {

std::string BlobOrEmpty(const Entity& map, const std::string& key) {
  Bytes bytes;
  ReadPropertyIfPresent(map, key, &bytes);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

void ApplyRunTimeSettings(const Entity& config, OpenCVPredict* predictor) {
  int32_t backend = 0;
  if (ReadPropertyIfPresent(config, "backend", &backend))
    predictor->SetBackend(backend);
  int32_t target = 0;
  if (ReadPropertyIfPresent(config, "target", &target))
    predictor->SetTarget(target);
}

void ReadGeometry(const Entity& map, ModelParameters* p) {
  ReadPropertyIfPresent(map, "swap_input_channels", &p->swap_channels);
  ReadPropertyIfPresent(map, "input_size", &p->input_size);
  ReadPropertyIfPresent(map, "input_channels", &p->input_channels);
  ReadPropertyIfPresent(map, "input_scale", &p->scale);
  ReadPropertyIfPresent(map, "input_mean_scale", &p->mean_scalar);
  ReadPropertyIfPresent(map, "input_mean_scalar", &p->mean_scalar);
}

ModelParameters ReadModelParameters(const Entity& model) {
  const Entity& config = AsEntity(GetProperty(model, "config"));
  const Entity& content = AsEntity(GetProperty(model, "content"));
  ModelParameters p;
  ReadGeometry(content, &p);
  ReadGeometry(config, &p);
  ReadPropertyIfPresent(content, "labels", &p.labels);
  p.from_files = HasProperty(content, "prototxt_file") ||
                 (HasProperty(content, "caffemodel_file") &&
                  !HasProperty(content, "caffemodel"));
  if (p.from_files) {
    ReadPropertyIfPresent(content, "prototxt_file", &p.network);
    ReadPropertyIfPresent(content, "caffemodel_file", &p.weights);
    ReadPropertyIfPresent(content, "input_mean_file", &p.mean_payload);
  } else {
    p.network = BlobOrEmpty(content, "prototxt");
    p.weights = BlobOrEmpty(content, "caffemodel");
    p.mean_payload = BlobOrEmpty(content, "input_mean");
  }
  std::string engine;
  if (ReadPropertyIfPresent(model, "engine", &engine))
    p.engine = NormalizeEngineName(engine);
  return p;
}

bool LoadPredictor(const ModelParameters& p, int queue_size,
                   OpenCVPredict* predictor) {
  if (p.from_files) {
    return predictor->LoadFromFiles(
        p.network, p.weights, p.mean_payload, p.input_size, p.input_channels,
        p.mean_scalar, p.scale, p.swap_channels, p.engine, queue_size);
  }
  return predictor->LoadFromBytes(
      p.network, p.weights, p.mean_payload, p.input_size, p.input_channels,
      p.mean_scalar, p.scale, p.swap_channels, p.engine, queue_size);
}

std::unique_ptr<OpenCVPredict> CreatePredictor(const Entity& model) {
  return CreatePredictor(model, nullptr);
}

std::unique_ptr<OpenCVPredict> CreatePredictor(const Entity& model,
                                               std::string* error) {
  const ModelParameters parameters = ReadModelParameters(model);
  auto predictor = std::make_unique<OpenCVPredict>();
  if (!LoadPredictor(parameters, 0, predictor.get())) {
    if (error != nullptr) {
      *error = predictor->error().empty() ? "The network could not be read"
                                          : predictor->error();
    }
    return nullptr;
  }
  ApplyRunTimeSettings(AsEntity(GetProperty(model, "config")), predictor.get());
  return predictor;
}

}  // namespace talvenrook_vision
