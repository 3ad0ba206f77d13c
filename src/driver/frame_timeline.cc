#include "src/driver/frame_timeline.h"

#include <algorithm>
#include <cmath>

namespace vostek_kestu {

int64_t FrameTimeline::FrameTicks(bool from_file, double position_ms,
                                  int64_t now) {
  int64_t ticks;
  if (!from_file || !(position_ms >= 0.0)) {
    anchored_ = false;
    ticks = std::max(now, last_ + 1);
  } else {
    const int64_t offset =
        static_cast<int64_t>(std::llround(position_ms * frequency_ / 1000.0));
    if (!anchored_) {
      base_ = now - offset;
      anchored_ = true;
    }
    ticks = base_ + offset;
    if (last_ != 0 && ticks <= last_) {
      base_ += last_ - ticks + std::max<int64_t>(step_, 1);
      ticks = base_ + offset;
    }
  }
  if (last_ != 0 && ticks > last_) step_ = ticks - last_;
  last_ = ticks;
  return ticks;
}

}  // namespace vostek_kestu
