// Choosing a region's day and night detector models from the model list of
// a KestuEyeConfig.
//
// Every model map visited must hold "type" and "version" (read with
// GetProperty; MissingPropertyError otherwise). Models are matched by exact
// type and version; adapters come from the adapter registry.
#ifndef VISION_REGIONS_ROI_MODELS_H_
#define VISION_REGIONS_ROI_MODELS_H_

#include <memory>
#include <string>

#include "absl/status/status.h"
#include "vision/detectors/detector_adapter.h"

namespace talvenrook_vision {

// (type, version) of the first model whose "type" equals `type`, or two
// empty strings.
ModelTypeVersion FindDefaultModel(const KestuEyeConfig& config,
                                  const std::string& type);

// Offers the first model matching `wanted` to the registry and puts the
// adapter in `slot`; the ROI model map's "input_size", when present, becomes
// the adapter's network size. NotFound when no model matches or no creator
// serves it; a failure "Could not load the model TYPE:VERSION: " and the
// adapter's reason when the adapter could not load its model. The slot
// keeps what it had unless the status is OK.
absl::Status LoadRoiModel(const KestuEyeConfig& config, const Entity& roi_model,
                          std::unique_ptr<DetectorAdapter>* slot,
                          const ModelTypeVersion& wanted);

struct RoiModelOutcome {
  bool loaded = false;
  // The first reason a model that matched could not be loaded (even when a
  // fallback then loaded); OK when none failed.
  absl::Status failure;
};

// Loads the model that the ROI model map names ("type", "version"), falling
// back to the first model of `default_type`, with the messages of each
// step.
RoiModelOutcome ConfigureRoiModel(const KestuEyeConfig& config,
                                  const Entity& roi_model,
                                  std::unique_ptr<DetectorAdapter>* slot,
                                  const std::string& default_type);

}  // namespace talvenrook_vision

#endif  // VISION_REGIONS_ROI_MODELS_H_
