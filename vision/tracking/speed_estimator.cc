#include "vision/tracking/speed_estimator.h"

#include <algorithm>
#include <cmath>

namespace talvenrook_vision {

void SpeedEstimator::Update(int32_t track_id, const cv::Point& center,
                            int64_t tick) {
  History& history = histories_[track_id];
  const Sample sample{center, static_cast<double>(tick)};
  if (history.size < kHistory) {
    history.samples[(history.first + history.size) % kHistory] = sample;
    ++history.size;
  } else {
    // The oldest sample gives its slot to the newest.
    history.samples[history.first] = sample;
    history.first = (history.first + 1) % kHistory;
  }
}

float SpeedEstimator::Speed(int32_t track_id) const {
  auto it = histories_.find(track_id);
  if (it == histories_.end() || it->second.size < 2) return 0.0f;
  const History& history = it->second;
  const Sample& oldest = history.samples[history.first];
  const Sample& newest =
      history.samples[(history.first + history.size - 1) % kHistory];
  const double dt = (newest.tick - oldest.tick) / tick_frequency_;
  if (!(dt > 0.0)) return 0.0f;
  const double d = std::hypot(newest.center.x - oldest.center.x,
                              newest.center.y - oldest.center.y);
  const float v = static_cast<float>(d / dt) * ratio_;
  return std::min(std::max(v, kMinSpeed), kMaxSpeed);
}

}  // namespace talvenrook_vision
