#include "tools/web/driver_configs.h"

#include <iostream>

namespace kestu_tools {

DriverConfigs::DriverConfigs(EventStore* store) : store_(store) {}

bool DriverConfigs::Find(const Key& key, DriverConfig* config) {
  const auto it = kept_.find(key);
  if (it != kept_.end()) {
    *config = it->second;
    return true;
  }
  std::string bytes;
  if (store_ == nullptr ||
      !store_->LoadConfiguration(key.first, key.second, &bytes) ||
      !config->ParseFromString(bytes)) {
    return false;
  }
  kept_[key] = *config;
  return true;
}

void DriverConfigs::Remember(const std::string& process,
                             const std::string& driver,
                             const DriverConfig& config) {
  const auto& eye = config.kestu_eye_config();
  if (!config.has_kestu_eye_config() || !eye.has_config()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const Key key(process, driver);
  DriverConfig kept;
  if (eye.models_size() > 0) {
    kept = config;
  } else if (Find(key, &kept)) {
    auto& keys = *kept.mutable_kestu_eye_config()
                      ->mutable_config()
                      ->mutable_properties();
    for (const auto& [name, value] : eye.config().properties())
      keys[name] = value;
  } else {
    return;  // no pipeline configuration to lay the keys over
  }
  kept.clear_uuid();
  kept_[key] = kept;
  std::string error;
  if (store_ != nullptr &&
      !store_->SaveConfiguration(process, driver, kept.SerializeAsString(),
                                 &error)) {
    std::cerr << "kestu-web: could not keep the configuration of " << driver
              << " of " << process << " in the database (" << error << ")"
              << std::endl;
  }
}

bool DriverConfigs::Current(const std::string& process,
                            const std::string& driver, DriverConfig* config) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Find(Key(process, driver), config);
}

}  // namespace kestu_tools
