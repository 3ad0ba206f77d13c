#include "vision/detectors/detector.h"

namespace talvenrook_vision {

void Detector::Load(const Entity& pipeline_config, const Entity& model) {
  LoadModel(model);
  if (HasProperty(model, "config")) {
    Configure(AsEntity(GetProperty(model, "config")));
  } else {
    Configure(Entity());
  }
}

}  // namespace talvenrook_vision
