// BaseDriver: the generic driver under the name the driver protocol's
// documentation gives it; it is the Driver of src/driver/driver.h.
#ifndef SRC_DRIVER_DRIVER_BASE_H_
#define SRC_DRIVER_DRIVER_BASE_H_

#include "src/driver/driver.h"

namespace vostek_kestu {

using BaseDriver = Driver;

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_DRIVER_BASE_H_
