// Estimates a track's ground speed from its last five centres.
//
// Update records (centre, tick count); Speed divides the distance between
// the oldest and the newest recorded centre by their tick span, scales the
// pixels to metres with `ratio` and clamps the result to [0.45, 44.704] m/s
// (about 1 to 100 miles per hour). With fewer than two samples, or no time
// between them, the speed is 0. A track's history lives until Forget.
#ifndef VISION_TRACKING_SPEED_ESTIMATOR_H_
#define VISION_TRACKING_SPEED_ESTIMATOR_H_

#include <array>
#include <cstdint>
#include <unordered_map>

#include <opencv2/core.hpp>

namespace talvenrook_vision {

class SpeedEstimator {
 public:
  static constexpr int kHistory = 5;
  static constexpr float kMinSpeed = 0.45f;
  static constexpr float kMaxSpeed = 44.704f;

  // ratio: metres per pixel; tick_frequency: ticks per second.
  SpeedEstimator(float ratio, double tick_frequency)
      : ratio_(ratio), tick_frequency_(tick_frequency) {}

  void Update(int32_t track_id, const cv::Point& center, int64_t tick);
  // Metres per second, or 0.
  float Speed(int32_t track_id) const;
  void Forget(int32_t track_id) { histories_.erase(track_id); }
  size_t TrackCount() const { return histories_.size(); }

  float ratio() const { return ratio_; }

 private:
  struct Sample {
    cv::Point center;
    double tick = 0.0;
  };
  // Ring of the last kHistory samples; `first` is the oldest.
  struct History {
    std::array<Sample, kHistory> samples;
    int first = 0;
    int size = 0;
  };

  float ratio_;
  double tick_frequency_;
  std::unordered_map<int32_t, History> histories_;
};

}  // namespace talvenrook_vision

#endif  // VISION_TRACKING_SPEED_ESTIMATOR_H_
