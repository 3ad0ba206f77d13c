#include "vision/tracking/tracking_clock.h"

#include <chrono>

#include <opencv2/core/utility.hpp>

namespace talvenrook_vision {
namespace {

class SystemTrackingClock : public TrackingClock {
 public:
  int64_t Ticks() const override { return cv::getTickCount(); }
  double TickFrequency() const override { return cv::getTickFrequency(); }
  int64_t CalendarSeconds() const override {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
};

}  // namespace

const TrackingClock* TrackingClock::System() {
  static const SystemTrackingClock* const clock = new SystemTrackingClock();
  return clock;
}

double FrameTimeClock::TickFrequency() const {
  return System()->TickFrequency();
}

int64_t FrameTimeClock::CalendarSeconds() const {
  return System()->CalendarSeconds();
}

}  // namespace talvenrook_vision
