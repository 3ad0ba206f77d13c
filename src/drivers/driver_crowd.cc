#include "src/drivers/driver_crowd.h"

namespace vostek_kestu {

CrowdDriver::CrowdDriver() : BaseDriver("CrowdDriver") {
  set_needs_pings(true);
  set_mandatory_configuration(true);
  SetNotesForHuman("Crowd Driver");
  published_event_tags_.insert(::talvenrook::vision::v1::ZONE_EXIT);
  StartDriverThreads();
}

CrowdDriver::~CrowdDriver() {
  StopDriverThreads();
  StopChannels();
}

}  // namespace vostek_kestu
