#ifndef SRC_DRIVERS_DRIVER_VEHICLE_H_
#define SRC_DRIVERS_DRIVER_VEHICLE_H_

#include "src/driver/driver_base.h"

namespace vostek_kestu {

// The vehicle analytics driver, registered as "VehicleDriver".
class VehicleDriver : public BaseDriver {
 public:
  VehicleDriver();
  ~VehicleDriver() override;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVERS_DRIVER_VEHICLE_H_
