// Fills the adapter registry with the built-in detector adapters: "SSD",
// "HAAR" and "YOLO". Safe to call from every pipeline's Setup: registering
// a name again replaces its creator with the same one.
#ifndef VISION_DETECTORS_REGISTER_ADAPTERS_H_
#define VISION_DETECTORS_REGISTER_ADAPTERS_H_

namespace talvenrook_vision {

void RegisterDetectorAdapters();

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_REGISTER_ADAPTERS_H_
