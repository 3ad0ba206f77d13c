#include "src/driver/driver_signals.h"

namespace vostek_kestu {

void DriverSignals::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
}

void DriverSignals::Resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = false;
}

void DriverSignals::Notify() {
  // Taking the lock orders the change before a waiter's next look at it.
  { std::lock_guard<std::mutex> lock(mutex_); }
  changed_.notify_all();
}

bool DriverSignals::WaitFor(std::chrono::milliseconds duration,
                            const std::function<bool()>& until) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, duration,
                    [&] { return stopping_.load() || (until && until()); });
  return !stopping_;
}

}  // namespace vostek_kestu
