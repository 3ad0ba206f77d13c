#ifndef SRC_DRIVER_DRIVER_SIGNALS_H_
#define SRC_DRIVER_DRIVER_SIGNALS_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace vostek_kestu {

// The waits of one driver's threads, on one condition variable: every wait
// ends as soon as the driver stops, and a wait given a condition also ends
// when the condition holds after a Notify (a configuration was queued, the
// client came back). Nothing polls: a thread that has nothing to do sleeps
// until it is told or its time is up.
//
// Thread-safe.
class DriverSignals {
 public:
  // Ends every wait, now and from now on, until Resume.
  void RequestStop();
  void Resume();
  bool stopping() const { return stopping_; }

  // Wakes the waits, which look at their conditions again. Call it after
  // changing what a condition reads.
  void Notify();

  // Waits up to `duration`, or until `until` (when given) holds. Returns
  // false when the driver is stopping.
  bool WaitFor(std::chrono::milliseconds duration,
               const std::function<bool()>& until = nullptr);

 private:
  std::mutex mutex_;  // guards nothing but the waits on changed_
  std::condition_variable changed_;
  std::atomic<bool> stopping_{false};
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_DRIVER_SIGNALS_H_
