#include "src/driver/recorder_clock.h"

#include <opencv2/core/utility.hpp>

namespace vostek_kestu {

namespace {

class OpenCvTickClock : public RecorderClock {
 public:
  int64_t Ticks() const override { return cv::getTickCount(); }
  double TickFrequency() const override { return cv::getTickFrequency(); }
};

}  // namespace

const RecorderClock* RecorderClock::System() {
  static const OpenCvTickClock* const clock = new OpenCvTickClock();
  return clock;
}

}  // namespace vostek_kestu
