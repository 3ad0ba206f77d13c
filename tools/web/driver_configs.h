// DriverConfigs: the configuration kestu-web last had taken by each driver,
// which the zone editor sends again with new zones so that the models and
// every other setting stay as they are.
//
// A configuration that brings models replaces the one kept; one with a
// configuration map but no models (the driver keeps its pipeline) lays its
// keys over the kept map. Commands change nothing. With an EventStore the
// configurations are kept in its database too and outlive a restart.
//
// Thread-safe.
#ifndef TOOLS_WEB_DRIVER_CONFIGS_H_
#define TOOLS_WEB_DRIVER_CONFIGS_H_

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "talvenrook/kestu/v1/driver.pb.h"
#include "tools/web/event_store.h"

namespace kestu_tools {

using DriverConfig = ::talvenrook::kestu::v1::driver::DriverConfig;

class DriverConfigs {
 public:
  // store may be null (nothing outlives the process).
  explicit DriverConfigs(EventStore* store);

  // The driver took `config` (it answered CONFIG_RECEIVED).
  void Remember(const std::string& process, const std::string& driver,
                const DriverConfig& config);
  // The kept configuration; false when there is none.
  bool Current(const std::string& process, const std::string& driver,
               DriverConfig* config);

 private:
  using Key = std::pair<std::string, std::string>;
  bool Find(const Key& key, DriverConfig* config);  // requires mutex_

  EventStore* store_;
  std::mutex mutex_;  // guards kept_
  std::map<Key, DriverConfig> kept_;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_DRIVER_CONFIGS_H_
