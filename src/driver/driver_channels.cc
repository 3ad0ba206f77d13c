#include "src/driver/driver_channels.h"

namespace vostek_kestu {

DriverChannels::DriverChannels(const std::string& driver_name, Refusal refusal,
                               Accept accept)
    : KestuBase(driver_name),
      refusal_(std::move(refusal)),
      accept_(std::move(accept)) {}

DriverChannels::~DriverChannels() { StopChannels(); }

bool DriverChannels::ProcessConfig(const DriverConfig& config) {
  accept_(config);
  return true;
}

std::string DriverChannels::RefusalReason(const DriverConfig& config) {
  return refusal_ ? refusal_(config) : "";
}

}  // namespace vostek_kestu
