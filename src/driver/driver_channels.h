#ifndef SRC_DRIVER_DRIVER_CHANNELS_H_
#define SRC_DRIVER_DRIVER_CHANNELS_H_

#include <functional>
#include <string>

#include "src/channels/kestu_base.h"

namespace vostek_kestu {

// The four channels of a driver (KestuBase), with what they receive handed
// to the driver: every parsed DriverConfig that `refusal` does not refuse
// goes to `accept`, which never rejects it. Update cycles do nothing
// (results are published by the frame loop).
//
// The callbacks run on the configuration thread; they must stay callable
// until StopChannels, which the owner calls before it destroys what they
// use.
class DriverChannels final : public KestuBase {
 public:
  using Refusal = std::function<std::string(const DriverConfig&)>;
  using Accept = std::function<void(const DriverConfig&)>;

  DriverChannels(const std::string& driver_name, Refusal refusal,
                 Accept accept);
  ~DriverChannels() override;

  bool SendUpdate() override { return true; }
  bool ProcessConfig(const DriverConfig& config) override;

  // The drivers of this process need pings and a first configuration.
  using KestuBase::set_mandatory_configuration;
  using KestuBase::set_needs_pings;

 protected:
  std::string RefusalReason(const DriverConfig& config) override;

 private:
  const Refusal refusal_;
  const Accept accept_;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_DRIVER_CHANNELS_H_
