#include "vision/inference/model_parameters.h"

#include "vision/inference/model_keys.h"

namespace talvenrook_vision {
namespace {

std::string BytesText(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

void ApplyRunTimeSettings(const Entity& config, OpenCVPredict* predictor) {
  ModelKeys keys;
  WriteKeyProblems(
      ModelKeyTable().ReadOnly(config, {"backend", "target"}, &keys));
  if (HasProperty(config, "backend")) predictor->SetBackend(keys.backend);
  if (HasProperty(config, "target")) predictor->SetTarget(keys.target);
}

void ReadGeometry(const Entity& map, ModelParameters* p) {
  ModelKeys keys;
  keys.swap_input_channels = p->swap_channels;
  keys.input_size = p->input_size;
  keys.input_channels = p->input_channels;
  keys.input_scale = p->scale;
  keys.input_mean = p->mean_scalar;
  WriteKeyProblems(ModelKeyTable().ReadOnly(map, ModelGeometryKeys(), &keys));
  p->swap_channels = keys.swap_input_channels;
  p->input_size = keys.input_size;
  p->input_channels = keys.input_channels;
  p->scale = keys.input_scale;
  p->mean_scalar = keys.input_mean;
}

ModelParameters ReadModelParameters(const Entity& model) {
  const Entity& config = AsEntity(GetProperty(model, "config"));
  const Entity& content = AsEntity(GetProperty(model, "content"));
  ModelParameters p;
  ReadGeometry(content, &p);
  ReadGeometry(config, &p);
  ModelKeys keys;
  WriteKeyProblems(
      ModelKeyTable().ReadOnly(content, ModelPayloadKeys(), &keys));
  WriteKeyProblems(ModelKeyTable().ReadOnly(model, {"engine"}, &keys));
  p.labels = keys.labels;
  p.from_files = HasProperty(content, "prototxt_file") ||
                 (HasProperty(content, "caffemodel_file") &&
                  !HasProperty(content, "caffemodel"));
  if (p.from_files) {
    p.network = keys.prototxt_file;
    p.weights = keys.caffemodel_file;
    p.mean_payload = keys.input_mean_file;
  } else {
    p.network = BytesText(keys.prototxt);
    p.weights = BytesText(keys.caffemodel);
    p.mean_payload = BytesText(keys.input_mean_bytes);
  }
  p.engine = NormalizeEngineName(keys.engine);
  return p;
}

absl::Status LoadPredictor(const ModelParameters& p, int queue_size,
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

absl::StatusOr<std::unique_ptr<OpenCVPredict>> CreatePredictor(
    const Entity& model) {
  const ModelParameters parameters = ReadModelParameters(model);
  auto predictor = std::make_unique<OpenCVPredict>();
  const absl::Status loaded = LoadPredictor(parameters, 0, predictor.get());
  if (!loaded.ok()) return loaded;
  ApplyRunTimeSettings(AsEntity(GetProperty(model, "config")), predictor.get());
  return predictor;
}

}  // namespace talvenrook_vision
