#include "src/drivers/driver_vehicle.h"

namespace vostek_kestu {

VehicleDriver::VehicleDriver() : BaseDriver("VehicleDriver") {
  set_needs_pings(true);
  set_mandatory_configuration(true);
  SetNotesForHuman("Vehicle Driver");
  published_event_tags_.insert(::talvenrook::vision::v1::ZONE_EXIT);
  StartDriverThreads();
}

VehicleDriver::~VehicleDriver() {
  StopDriverThreads();
  StopChannels();
}

}  // namespace vostek_kestu
