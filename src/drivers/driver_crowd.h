#ifndef SRC_DRIVERS_DRIVER_CROWD_H_
#define SRC_DRIVERS_DRIVER_CROWD_H_

#include "src/driver/driver_base.h"

namespace vostek_kestu {

// The crowd analytics driver, registered as "CrowdDriver".
class CrowdDriver : public BaseDriver {
 public:
  CrowdDriver();
  ~CrowdDriver() override;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVERS_DRIVER_CROWD_H_
