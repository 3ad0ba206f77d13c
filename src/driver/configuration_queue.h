#ifndef SRC_DRIVER_CONFIGURATION_QUEUE_H_
#define SRC_DRIVER_CONFIGURATION_QUEUE_H_

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "talvenrook/kestu/v1/driver.pb.h"

namespace vostek_kestu {

using DriverConfig = ::talvenrook::kestu::v1::driver::DriverConfig;

// The configuration messages a driver received and has yet to apply: the
// configuration thread pushes them, the capture thread applies them one at
// a time, oldest first, between frames.
//
// Contract:
//  - Push logs "Receiving configuration... " and calls the wake callback,
//    so that a wait of the capture thread gives way to the new message.
//  - ApplyAll holds the queue's lock while it applies, so that a Push
//    waits for a long configuration to end (the configuration thread holds
//    the channel's lock meanwhile). A closed queue drops its messages.
//  - Count and OthersWaiting are read without the lock (from the
//    configuration thread, and from the waits of the capture thread while
//    it applies a message).
class ConfigurationQueue {
 public:
  // Messages held at most; the configuration thread refuses one beyond.
  static constexpr size_t kMaxPending = 64;

  explicit ConfigurationQueue(std::function<void()> wake)
      : wake_(std::move(wake)) {}

  void Push(const DriverConfig& config);
  // Applies and removes every queued message, in order.
  void ApplyAll(const std::function<void(const DriverConfig&)>& apply);
  // Drops every message, now and from now on.
  void Close();
  bool closed() const { return closed_; }

  size_t Count() const { return count_; }
  bool Full() const { return count_ >= kMaxPending; }
  // A message is queued beyond the one being applied.
  bool OthersWaiting() const { return count_ > (applying_ ? 1u : 0u); }

 private:
  const std::function<void()> wake_;
  mutable std::mutex mutex_;  // guards messages_
  std::deque<DriverConfig> messages_;
  std::atomic<size_t> count_{0};       // messages_.size()
  std::atomic<bool> applying_{false};  // the front message is being applied
  std::atomic<bool> closed_{false};
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_CONFIGURATION_QUEUE_H_
