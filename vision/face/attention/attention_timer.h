// AttentionTimer: per-id looking (attention) decisions and the time spent
// looking.
//
// The first update of an id only records its decision and the time. Every
// later update adds the time since the previous update when both the
// previous and the new decision are true, half of it when exactly one of
// them is true, and nothing when neither is. Time is read in seconds as
// tick count / tick frequency of the given clock.
//
// Not thread-safe: one owner thread.
#ifndef VISION_FACE_ATTENTION_ATTENTION_TIMER_H_
#define VISION_FACE_ATTENTION_ATTENTION_TIMER_H_

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "vision/tracking/tracking_clock.h"

namespace talvenrook_vision {

class AttentionTimer {
 public:
  // Requires: clock outlives the timer.
  explicit AttentionTimer(const TrackingClock* clock = TrackingClock::System())
      : clock_(clock) {}

  void Update(int32_t id, bool decision);
  // The last recorded decision; false for an unknown id.
  bool Decision(int32_t id) const;
  // Accumulated seconds; 0 for an unknown id.
  double Seconds(int32_t id) const;
  bool Has(int32_t id) const { return entries_.count(id) != 0; }
  void Forget(int32_t id) { entries_.erase(id); }
  size_t size() const { return entries_.size(); }

  const TrackingClock* clock() const { return clock_; }

 private:
  struct Entry {
    bool decision = false;
    bool updated = false;      // false before the first update
    double last_update = 0.0;  // seconds
    double seconds = 0.0;
  };

  const TrackingClock* clock_;
  std::unordered_map<int32_t, Entry> entries_;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_ATTENTION_ATTENTION_TIMER_H_
