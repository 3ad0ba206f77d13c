#include "vision/detectors/register_adapters.h"

#include "vision/detectors/adapter_registry.h"
#include "vision/detectors/haar_detector_adapter.h"
#include "vision/detectors/ssd_detector_adapter.h"
#include "vision/detectors/yolo_detector_adapter.h"

namespace talvenrook_vision {

void RegisterDetectorAdapters() {
  RegisterAdapterCreator("SSD", CreateSSDDetectorAdapter);
  RegisterAdapterCreator("HAAR", CreateHaarDetectorAdapter);
  RegisterAdapterCreator("YOLO", CreateYoloDetectorAdapter);
}

}  // namespace talvenrook_vision
