#include "src/drivers/driver_crowd.h"

namespace vostek_kestu {

CrowdDriver::CrowdDriver() : BaseDriver("CrowdDriver") {
  set_needs_pings(true);
  set_mandatory_configuration(true);
  SetNotesForHuman("Crowd Driver");
}

CrowdDriver::~CrowdDriver() { StopChannels(); }

}  // namespace vostek_kestu
