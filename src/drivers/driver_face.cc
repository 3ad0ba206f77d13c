#include "src/drivers/driver_face.h"

namespace vostek_kestu {

FaceDriver::FaceDriver() : BaseDriver("Face Driver") {
  set_needs_pings(true);
  set_mandatory_configuration(true);
  SetNotesForHuman("Face Driver");
}

FaceDriver::~FaceDriver() { StopChannels(); }

}  // namespace vostek_kestu
