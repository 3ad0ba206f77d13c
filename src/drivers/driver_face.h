#ifndef SRC_DRIVERS_DRIVER_FACE_H_
#define SRC_DRIVERS_DRIVER_FACE_H_

#include "src/driver/driver_base.h"

namespace vostek_kestu {

// The face analytics driver, registered as "Face Driver".
class FaceDriver : public BaseDriver {
 public:
  FaceDriver();
  ~FaceDriver() override;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVERS_DRIVER_FACE_H_
