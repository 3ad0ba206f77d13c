// The time sources of the tracking layer.
//
// Tracks measure how long they have been followed in ticks of a monotonic
// counter, speeds divide pixel distances by tick spans, and events are
// stamped with calendar time in whole seconds. All of them read time through
// this interface so that tests can drive time by hand.
#ifndef VISION_TRACKING_TRACKING_CLOCK_H_
#define VISION_TRACKING_TRACKING_CLOCK_H_

#include <atomic>
#include <cstdint>

namespace talvenrook_vision {

class TrackingClock {
 public:
  virtual ~TrackingClock() = default;
  // Monotonic tick count and ticks per second.
  virtual int64_t Ticks() const = 0;
  virtual double TickFrequency() const = 0;
  // Calendar time in whole seconds since the Unix epoch.
  virtual int64_t CalendarSeconds() const = 0;

  // The process-wide real clock: the OpenCV tick counter and the system
  // calendar clock. Never null; lives as long as the process.
  static const TrackingClock* System();
};

// A clock that moves only when told to. Used by tests and replays.
class ManualTrackingClock : public TrackingClock {
 public:
  explicit ManualTrackingClock(int64_t ticks = 1, double frequency = 1000.0,
                               int64_t calendar_seconds = 0)
      : ticks_(ticks), frequency_(frequency), seconds_(calendar_seconds) {}

  int64_t Ticks() const override { return ticks_; }
  double TickFrequency() const override { return frequency_; }
  int64_t CalendarSeconds() const override { return seconds_; }

  void SetTicks(int64_t ticks) { ticks_ = ticks; }
  void AdvanceTicks(int64_t ticks) { ticks_ += ticks; }
  void SetCalendarSeconds(int64_t seconds) { seconds_ = seconds; }

 private:
  int64_t ticks_;
  double frequency_;
  int64_t seconds_;
};

// The clock of the frame being processed: its ticks are set for each frame
// (from the frame's timestamp in a video file, or the time it was grabbed
// from a live source) on the scale of the system tick counter, while the
// calendar stays the system's. Thread-safe.
class FrameTimeClock : public TrackingClock {
 public:
  int64_t Ticks() const override { return ticks_.load(); }
  double TickFrequency() const override;
  int64_t CalendarSeconds() const override;

  void SetTicks(int64_t ticks) { ticks_ = ticks; }

 private:
  std::atomic<int64_t> ticks_{1};
};

}  // namespace talvenrook_vision

#endif  // VISION_TRACKING_TRACKING_CLOCK_H_
