// The tick source that video recorders measure their start waits with.
#ifndef SRC_DRIVER_RECORDER_CLOCK_H_
#define SRC_DRIVER_RECORDER_CLOCK_H_

#include <atomic>
#include <cstdint>

namespace vostek_kestu {

// A monotonic tick counter and its frequency. Recorders read time only
// through this interface, so that tests can move time by hand instead of
// waiting for it.
class RecorderClock {
 public:
  virtual ~RecorderClock() = default;
  virtual int64_t Ticks() const = 0;
  // Ticks per second; greater than 0.
  virtual double TickFrequency() const = 0;

  // OpenCV's tick counter. Never null; lives as long as the process.
  static const RecorderClock* System();
};

// A clock that moves only when told to (tests, simulations). It may be
// advanced on one thread while a recorder reads it on another.
class ManualRecorderClock : public RecorderClock {
 public:
  explicit ManualRecorderClock(int64_t ticks = 1, double frequency = 1000.0)
      : ticks_(ticks), frequency_(frequency) {}

  int64_t Ticks() const override { return ticks_; }
  double TickFrequency() const override { return frequency_; }

  void AdvanceTicks(int64_t ticks) { ticks_ += ticks; }
  void AdvanceSeconds(double seconds) {
    ticks_ += static_cast<int64_t>(seconds * frequency_);
  }

 private:
  std::atomic<int64_t> ticks_;
  const double frequency_;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_RECORDER_CLOCK_H_
