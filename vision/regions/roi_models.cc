#include "vision/regions/roi_models.h"

#include <iostream>

#include "vision/detectors/adapter_registry.h"

namespace talvenrook_vision {
namespace {

ModelTypeVersion ReadTypeVersion(const Entity& model) {
  ModelTypeVersion tv;
  ConvertValue(GetProperty(model, "type"), &tv.first);
  ConvertValue(GetProperty(model, "version"), &tv.second);
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

bool LoadRoiModel(const KestuEyeConfig& config, const Entity& roi_model,
                  std::unique_ptr<DetectorAdapter>* slot,
                  const ModelTypeVersion& wanted, std::string* error) {
  for (const Entity& model : config.models()) {
    if (ReadTypeVersion(model) != wanted) continue;
    std::unique_ptr<DetectorAdapter> adapter = CreateAdapter(config, model);
    if (!adapter) return false;
    if (!adapter->error().empty()) {
      // A model that cannot run is no detector: nothing is detected with it.
      if (error != nullptr && error->empty()) {
        *error = "Could not load the model " + wanted.first + ":" +
                 wanted.second + ": " + adapter->error();
      }
      return false;
    }
    cv::Size size;
    if (ReadPropertyIfPresent(roi_model, "input_size", &size))
      adapter->SetNetworkSize(size.width, size.height);
    *slot = std::move(adapter);
    return true;
  }
  return false;
}

bool ConfigureRoiModel(const KestuEyeConfig& config, const Entity& roi_model,
                       std::unique_ptr<DetectorAdapter>* slot,
                       const std::string& default_type, std::string* error) {
  ModelTypeVersion tv{GetPropertyOr(roi_model, "type", ""),
                      GetPropertyOr(roi_model, "version", "")};
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
  if (LoadRoiModel(config, roi_model, slot, tv, error)) return true;
  // No type named and none to default to: there is no model to fail
  // loading (a night detector that was never configured).
  if (tv.first.empty()) return false;
  std::cerr << "Could not load the model " << tv.first << ":" << tv.second
            << std::endl;
  tv = FindDefaultModel(config, default_type);
  if (default_tried || !LoadRoiModel(config, roi_model, slot, tv, error))
    return false;
  WriteDefaulting(tv);
  return true;
}

}  // namespace talvenrook_vision
