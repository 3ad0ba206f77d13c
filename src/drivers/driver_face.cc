#include "src/drivers/driver_face.h"

namespace vostek_kestu {

FaceDriver::FaceDriver() : BaseDriver("Face Driver") {
  set_needs_pings(true);
  set_mandatory_configuration(true);
  SetNotesForHuman("Face Driver");
  published_event_tags_.insert(::talvenrook::vision::v1::TRACKING_END);
  StartDriverThreads();
}

FaceDriver::~FaceDriver() {
  StopDriverThreads();
  StopChannels();
}

}  // namespace vostek_kestu
