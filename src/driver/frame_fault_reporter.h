// FrameFaultReporter: what the driver reports about frames whose step
// failed (an exception thrown by the pipeline, the drawing, the preview or
// the recorder), so that a fault on every frame neither floods the client
// nor goes unnoticed.
//
// Contract:
//  - Fault(stage, what) returns the text to send as STATUS_ERROR now, or ""
//    when the same fault (same stage and text) was reported less than a
//    minute ago; such repeats are counted, and the next report of that
//    fault, a minute or more after the last, says how many there were.
//  - EndFrame(failed) counts consecutive failed frames and returns true on
//    the frame that makes kMaxConsecutiveFailures of them: the driver then
//    stops detection. Reset() starts over (a new configuration, or
//    START_DETECTION).
//  - Thread-safe: faults come from the capture thread (a frame's Begin,
//    reported as "PushFrame") and the thread of the frame step.
#ifndef SRC_DRIVER_FRAME_FAULT_REPORTER_H_
#define SRC_DRIVER_FRAME_FAULT_REPORTER_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace vostek_kestu {

class FrameFaultReporter {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;

  static constexpr int kMaxConsecutiveFailures = 100;
  static constexpr std::chrono::seconds kRepeatPeriod{60};

  explicit FrameFaultReporter(Now now = Clock::now);

  std::string Fault(const std::string& stage, const std::string& what);
  bool EndFrame(bool failed);
  void Reset();

  int consecutive_failures() const;

 private:
  struct Seen {
    Clock::time_point reported;
    int64_t repeats = 0;  // since the last report
  };
  // Faults remembered at most; the oldest report is forgotten first.
  static constexpr size_t kMaxRemembered = 64;

  const Now now_;
  mutable std::mutex mutex_;  // guards the members below
  std::map<std::string, Seen> seen_;
  int consecutive_ = 0;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_FRAME_FAULT_REPORTER_H_
