#include "src/drivers/driver_names.h"

namespace vostek_kestu {

const std::vector<DriverName>& DriverNames() {
  static const std::vector<DriverName>* names = new std::vector<DriverName>{
      {"face", "Face Driver", "Face Driver", 1},
      {"vehicle", "VehicleDriver", "Vehicle Driver", 5},
      {"crowd", "CrowdDriver", "Crowd Driver", 9},
  };
  return *names;
}

const DriverName* FindDriverName(const std::string& key) {
  for (const DriverName& name : DriverNames()) {
    if (name.key == key) return &name;
  }
  return nullptr;
}

}  // namespace vostek_kestu
