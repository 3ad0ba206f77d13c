#include "src/drivers/driver_table.h"

#include "src/drivers/driver_crowd.h"
#include "src/drivers/driver_face.h"
#include "src/drivers/driver_vehicle.h"

namespace vostek_kestu {

const std::vector<DriverKind>& DriverTable() {
  static const std::vector<DriverKind>* table = new std::vector<DriverKind>{
      FaceDriver::Kind(), VehicleDriver::Kind(), CrowdDriver::Kind()};
  return *table;
}

const DriverKind* FindDriverKind(const std::string& key) {
  for (const DriverKind& kind : DriverTable()) {
    if (kind.key == key) return &kind;
  }
  return nullptr;
}

}  // namespace vostek_kestu
