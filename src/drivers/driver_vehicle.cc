#include "src/drivers/driver_vehicle.h"

namespace vostek_kestu {

VehicleDriver::VehicleDriver() : BaseDriver("VehicleDriver") {
  set_needs_pings(true);
  set_mandatory_configuration(true);
  SetNotesForHuman("Vehicle Driver");
}

VehicleDriver::~VehicleDriver() { StopChannels(); }

}  // namespace vostek_kestu
