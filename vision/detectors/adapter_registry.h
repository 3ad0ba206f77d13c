// The process-wide registry of detector adapter creators.
//
// A creator takes (pipeline configuration, model map) and returns a new
// configured adapter, or nullptr when the model's "type" is not one it
// serves. Creators read "type" with GetProperty (a model map without it
// raises MissingPropertyError) and return the adapter even when its
// Configure failed.
//
// Pipelines register what they need in their Setup, before frames flow:
//   RegisterAdapterCreator("SSD", CreateSSDDetectorAdapter);
// or all built-in adapters at once with RegisterDetectorAdapters().
// Registering a name again replaces its creator. Thread-safe.
#ifndef VISION_DETECTORS_ADAPTER_REGISTRY_H_
#define VISION_DETECTORS_ADAPTER_REGISTRY_H_

#include <functional>
#include <memory>
#include <string>

#include "vision/detectors/detector_adapter.h"

namespace talvenrook_vision {

using AdapterCreator = std::function<std::unique_ptr<DetectorAdapter>(
    const KestuEyeConfig& config, const Entity& model)>;

void RegisterAdapterCreator(const std::string& name, AdapterCreator creator);

// Offers the model to every registered creator (in name order) and returns
// the first adapter produced, or nullptr.
std::unique_ptr<DetectorAdapter> CreateAdapter(const KestuEyeConfig& config,
                                               const Entity& model);

// Removes every creator (for tests that need an empty registry).
void ClearAdapterCreators();

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_ADAPTER_REGISTRY_H_
