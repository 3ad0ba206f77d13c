#ifndef SRC_DRIVERS_DRIVER_NAMES_H_
#define SRC_DRIVERS_DRIVER_NAMES_H_

#include <string>
#include <vector>

namespace vostek_kestu {

// Who the drivers of the process are and where they listen: the rows of
// the driver table (driver_table.h) that clients and tools read too,
// without the analytics behind them.
struct DriverName {
  std::string key;              // as --standalone_mode_driver names it
  std::string display_name;     // driver_name of its DriverInfo
  std::string notes_for_human;  // notes_for_human of its DriverInfo
  int port_offset = 0;          // its base port is --bind_port + this
};

// face, vehicle and crowd, in port order:
//   {"face", "Face Driver", "Face Driver", 1}
//   {"vehicle", "VehicleDriver", "Vehicle Driver", 5}
//   {"crowd", "CrowdDriver", "Crowd Driver", 9}
const std::vector<DriverName>& DriverNames();
// The row of a key (case-sensitive), or null.
const DriverName* FindDriverName(const std::string& key);

}  // namespace vostek_kestu

#endif  // SRC_DRIVERS_DRIVER_NAMES_H_
