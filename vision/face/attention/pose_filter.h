// PoseFilter: per-track head angles, looking decision and looking time.
//
// Angles come either from a head-pose network (UpdateFromAngles, used as
// they are) or from the five landmark points (UpdateFromPoints: the
// facial-normal angles, with yaw and pitch smoothed per track by a
// constant-velocity Kalman filter when "pose_use_kalman" is on). A face is
// looking when |yaw| <= "gaze_yaw_th" and |pitch| <= "gaze_pitch_th". The
// looking time grows between two updates of a track by the time between
// them when the face looked at both, by half of it when it looked at one.
//
// The Kalman output adds a small Gaussian noise (standard deviation
// sqrt(0.002) degrees) after correction; it comes from a generator seeded
// once per filter, so that runs are reproducible.
//
// Example configuration (pipeline config map):
//   properties { key: "pose_use_kalman" value { boolean_value: true } }
//   properties { key: "gaze_yaw_th" value { double_value: 20 } }
//   properties { key: "gaze_pitch_th" value { double_value: 15 } }
//
// Not thread-safe: used from the pipeline's result thread.
#ifndef VISION_FACE_ATTENTION_POSE_FILTER_H_
#define VISION_FACE_ATTENTION_POSE_FILTER_H_

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>

#include "vision/config/entity_config.h"
#include "vision/config/key_table.h"
#include "vision/face/attention/attention_timer.h"
#include "vision/face/attention/facial_normal.h"
#include "vision/tracking/tracking_clock.h"

namespace talvenrook_vision {

// The pose filter's keys, read by Configure.
struct PoseFilterSettings {
  bool use_kalman = true;
  double rm = 0.55;
  double rn = 0.5;
  double re = 0.91;
  float yaw_threshold = 20.0f;
  float pitch_threshold = 15.0f;
};

// Built on first use; safe to call from any thread.
const KeyTable<PoseFilterSettings>& PoseFilterKeyTable();

class PoseFilter {
 public:
  static constexpr uint64_t kDefaultSeed = 0x5eed0f9a11ULL;

  // Requires: clock outlives the filter.
  explicit PoseFilter(const TrackingClock* clock = TrackingClock::System(),
                      uint64_t seed = kDefaultSeed);

  // Reads the keys of PoseFilterKeyTable: "pose_use_kalman" (true),
  // "pose_rm" (0.55), "pose_rn" (0.5), "pose_re" (0.91), "gaze_yaw_th" (20)
  // and "gaze_pitch_th" (15).
  void Configure(const Entity& config);

  // Records network angles for the track; returns them.
  HeadAngles UpdateFromAngles(int32_t track_id, const HeadAngles& angles);
  // Records the facial-normal angles of the points (smoothed when on);
  // returns them. Fewer than five points change nothing and give zeros.
  HeadAngles UpdateFromPoints(int32_t track_id,
                              const std::vector<cv::Point2f>& points);

  bool IsLooking(int32_t track_id) const { return timer_.Decision(track_id); }
  // Seconds; 0 for an unknown track.
  double LookingTime(int32_t track_id) const {
    return timer_.Seconds(track_id);
  }
  bool Has(int32_t track_id) const { return tracks_.count(track_id) != 0; }
  void Forget(int32_t track_id);
  // Tracks with state.
  size_t size() const { return std::max(tracks_.size(), timer_.size()); }

  // The looking test on a pair of angles.
  bool Looking(const HeadAngles& angles) const;

  bool use_kalman() const { return use_kalman_; }
  const FacialModelRatios& ratios() const { return ratios_; }
  float yaw_threshold() const { return yaw_threshold_; }
  float pitch_threshold() const { return pitch_threshold_; }

 private:
  struct TrackState {
    HeadAngles angles;    // last angles handed out
    HeadAngles measured;  // last angles before smoothing
    cv::KalmanFilter kalman;
    bool kalman_started = false;
  };

  HeadAngles Smooth(TrackState* state, const HeadAngles& measured);
  void Record(int32_t track_id, TrackState* state, const HeadAngles& angles);

  bool use_kalman_ = true;
  FacialModelRatios ratios_;
  float yaw_threshold_ = 20.0f;
  float pitch_threshold_ = 15.0f;
  std::unordered_map<int32_t, TrackState> tracks_;
  AttentionTimer timer_;
  cv::RNG rng_;
  cv::Mat measurement_;  // scratch 4 x 1
  cv::Mat smoothed_;     // scratch 4 x 1
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_ATTENTION_POSE_FILTER_H_
