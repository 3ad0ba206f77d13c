#ifndef SRC_DRIVERS_DRIVER_TABLE_H_
#define SRC_DRIVERS_DRIVER_TABLE_H_

#include <string>
#include <vector>

#include "src/driver/driver_kind.h"

namespace vostek_kestu {

// The drivers of the process, one entry each, in port order: face, vehicle
// and crowd. Each entry's names and port offset are its row of
// DriverNames() (what clients and tools read); the rest is what makes the
// kind: its published tags, pipeline factory, keys, request, log line and
// drawing. The process builds one Driver per entry.
const std::vector<DriverKind>& DriverTable();
// The entry of a key (case-sensitive), or null.
const DriverKind* FindDriverKind(const std::string& key);

}  // namespace vostek_kestu

#endif  // SRC_DRIVERS_DRIVER_TABLE_H_
