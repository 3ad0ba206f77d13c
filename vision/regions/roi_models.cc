#include "vision/regions/roi_models.h"

#include <iostream>

#include "vision/config/setup_status.h"
#include "vision/detectors/adapter_registry.h"
#include "vision/inference/model_keys.h"

namespace talvenrook_vision {
namespace {

ModelTypeVersion ReadTypeVersion(const Entity& model) {
  ModelTypeVersion tv;
  tv.first = RequiredModelKey(model, "type");
  tv.second = RequiredModelKey(model, "version");
  return tv;
}

void WriteDefaulting(const ModelTypeVersion& tv) {
  std::cerr << "Defaulting model to: " << tv.first << ":" << tv.second
            << std::endl;
}

}  // namespace

ModelTypeVersion FindDefaultModel(const KestuEyeConfig& config,
                                  const std::string& type) {
  for (const Entity& model : config.models()) {
    const ModelTypeVersion tv = ReadTypeVersion(model);
    if (tv.first == type) return tv;
  }
  return {};
}

absl::Status LoadRoiModel(const KestuEyeConfig& config, const Entity& roi_model,
                          std::unique_ptr<DetectorAdapter>* slot,
                          const ModelTypeVersion& wanted) {
  for (const Entity& model : config.models()) {
    if (ReadTypeVersion(model) != wanted) continue;
    std::unique_ptr<DetectorAdapter> adapter = CreateAdapter(config, model);
    if (!adapter) break;
    if (!adapter->error().empty()) {
      // A model that cannot run is no detector: nothing is detected with it.
      return SetupError("Could not load the model " + wanted.first + ":" +
                        wanted.second + ": " + adapter->error());
    }
    if (HasProperty(roi_model, "input_size")) {
      ModelKeys keys;
      WriteKeyProblems(
          ModelKeyTable().ReadOnly(roi_model, {"input_size"}, &keys));
      adapter->SetNetworkSize(keys.input_size.width, keys.input_size.height);
    }
    *slot = std::move(adapter);
    return absl::OkStatus();
  }
  return absl::NotFoundError("No detector for the model " + wanted.first + ":" +
                             wanted.second);
}

RoiModelOutcome ConfigureRoiModel(const KestuEyeConfig& config,
                                  const Entity& roi_model,
                                  std::unique_ptr<DetectorAdapter>* slot,
                                  const std::string& default_type) {
  RoiModelOutcome outcome;
  // The first model that matched but could not be loaded is the reason
  // kept, even when a fallback loads afterwards.
  auto load = [&](const ModelTypeVersion& wanted) {
    const absl::Status status = LoadRoiModel(config, roi_model, slot, wanted);
    if (!status.ok() && !absl::IsNotFound(status) && outcome.failure.ok())
      outcome.failure = status;
    return status.ok();
  };
  // The region's model map names one of the models by their keys.
  ModelKeys named;
  WriteKeyProblems(
      ModelKeyTable().ReadOnly(roi_model, {"type", "version"}, &named));
  ModelTypeVersion tv{named.type, named.version};
  bool default_tried = false;
  if (!HasProperty(roi_model, "type")) {
    std::cerr << "No model specified on ROI. "
              << "Trying to find a default model to use..." << std::endl;
    tv = FindDefaultModel(config, default_type);
    if (!tv.first.empty()) {
      WriteDefaulting(tv);
      default_tried = true;
    } else {
      std::cerr << "Could not find a model to load." << std::endl;
    }
  }
  if (load(tv)) {
    outcome.loaded = true;
    return outcome;
  }
  // No type named and none to default to: there is no model to fail
  // loading (a night detector that was never configured).
  if (tv.first.empty()) return outcome;
  std::cerr << "Could not load the model " << tv.first << ":" << tv.second
            << std::endl;
  tv = FindDefaultModel(config, default_type);
  if (default_tried || !load(tv)) return outcome;
  WriteDefaulting(tv);
  outcome.loaded = true;
  return outcome;
}

}  // namespace talvenrook_vision
