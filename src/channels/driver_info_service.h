#ifndef SRC_CHANNELS_DRIVER_INFO_SERVICE_H_
#define SRC_CHANNELS_DRIVER_INFO_SERVICE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "src/channels/kestu_base.h"
#include "src/channels/socket_holder.h"
#include "talvenrook/kestu/v1/driver.pb.h"

namespace vostek_kestu {

using KestuDriverInfo = ::talvenrook::kestu::v1::driver::KestuDriverInfo;

// The process-wide driver-information service: a REP socket on
// "tcp://" + host + ":" + port that answers any request with a
// KestuDriverInfo listing the registered drivers in registration order.
class DriverInfoService {
 public:
  DriverInfoService(uint32_t port, std::string host);

  // Drivers must outlive the service's Run.
  void Register(const KestuBase* driver);
  // A driver that owns its channels (channels() gives them).
  template <typename Driver,
            typename = decltype(std::declval<const Driver&>().channels())>
  void Register(const Driver* driver) {
    Register(&driver->channels());
  }
  KestuDriverInfo BuildInfo() const;

  // Binds and answers requests on the calling thread until Stop. Returns
  // false, after logging the endpoint, when the port cannot be bound.
  bool Run();
  // Makes Run return (from another thread).
  void Stop();

 private:
  const uint32_t port_;
  const std::string host_;
  mutable std::mutex mutex_;  // guards drivers_ and channel_
  std::vector<const KestuBase*> drivers_;
  std::shared_ptr<SocketHolder> channel_;
  std::atomic<bool> stop_{false};
};

}  // namespace vostek_kestu

#endif  // SRC_CHANNELS_DRIVER_INFO_SERVICE_H_
