#include "vision/face/attention/pose_filter.h"

#include <cmath>

namespace talvenrook_vision {
namespace {

constexpr float kProcessNoise = 0.002f;
constexpr float kMeasurementNoise = 80.0f;

void InitialiseKalman(const HeadAngles& angles, cv::KalmanFilter* kalman) {
  kalman->init(4, 4, 0, CV_32F);
  kalman->transitionMatrix =
      (cv::Mat_<float>(4, 4) << 1, 1, 0, 0, 0, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0, 1);
  cv::setIdentity(kalman->measurementMatrix);
  cv::setIdentity(kalman->processNoiseCov, cv::Scalar::all(kProcessNoise));
  cv::setIdentity(kalman->measurementNoiseCov,
                  cv::Scalar::all(kMeasurementNoise));
  cv::setIdentity(kalman->errorCovPost, cv::Scalar::all(1));
  const cv::Mat state =
      (cv::Mat_<float>(4, 1) << static_cast<float>(angles.yaw), 0.0f,
       static_cast<float>(angles.pitch), 0.0f);
  state.copyTo(kalman->statePre);
  state.copyTo(kalman->statePost);
}

}  // namespace

PoseFilter::PoseFilter(const TrackingClock* clock, uint64_t seed)
    : timer_(clock),
      rng_(seed),
      measurement_(4, 1, CV_32F),
      smoothed_(4, 1, CV_32F) {}

const KeyTable<PoseFilterSettings>& PoseFilterKeyTable() {
  using S = PoseFilterSettings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Face pose filter",
        "Keys of the face pipeline's config map read by its pose filter: the "
        "head angles from the landmarks and the looking decision.");
    t->Bool("pose_use_kalman", &S::use_kalman,
            "Smooth the landmark yaw and pitch per track with a Kalman "
            "filter.")
        .Double("pose_rm", &S::rm, "Model ratio Rm of the facial normal.")
        .Double("pose_rn", &S::rn, "Model ratio Rn of the facial normal.")
        .Double("pose_re", &S::re, "Model ratio Re of the facial normal.")
        .Double("gaze_yaw_th", &S::yaw_threshold,
                "Largest absolute yaw (degrees) of a face that looks.")
        .Double("gaze_pitch_th", &S::pitch_threshold,
                "Largest absolute pitch (degrees) of a face that looks.");
    return t;
  }();
  return *table;
}

void PoseFilter::Configure(const Entity& config) {
  PoseFilterSettings s;
  WriteKeyProblems(PoseFilterKeyTable().Read(config, &s));
  use_kalman_ = s.use_kalman;
  ratios_.rm = s.rm;
  ratios_.rn = s.rn;
  ratios_.re = s.re;
  yaw_threshold_ = s.yaw_threshold;
  pitch_threshold_ = s.pitch_threshold;
}

bool PoseFilter::Looking(const HeadAngles& angles) const {
  return yaw_threshold_ >= std::abs(angles.yaw) &&
         pitch_threshold_ >= std::abs(angles.pitch);
}

void PoseFilter::Record(int32_t track_id, TrackState* state,
                        const HeadAngles& angles) {
  state->angles = angles;
  timer_.Update(track_id, Looking(angles));
}

HeadAngles PoseFilter::UpdateFromAngles(int32_t track_id,
                                        const HeadAngles& angles) {
  TrackState& state = tracks_[track_id];
  state.measured = angles;
  Record(track_id, &state, angles);
  return angles;
}

HeadAngles PoseFilter::Smooth(TrackState* state, const HeadAngles& measured) {
  if (!state->kalman_started) {
    InitialiseKalman(measured, &state->kalman);
    state->kalman_started = true;
    return measured;
  }
  cv::KalmanFilter& kalman = state->kalman;
  kalman.predict();
  float* m = measurement_.ptr<float>();
  m[0] = static_cast<float>(measured.yaw);
  m[1] = static_cast<float>(measured.yaw - state->measured.yaw);
  m[2] = static_cast<float>(measured.pitch);
  m[3] = static_cast<float>(measured.pitch - state->measured.pitch);
  kalman.correct(measurement_);
  smoothed_ = kalman.transitionMatrix * kalman.statePost;
  const double sigma = std::sqrt(kalman.processNoiseCov.at<float>(0, 0));
  float* s = smoothed_.ptr<float>();
  for (int i = 0; i < 4; ++i) s[i] += static_cast<float>(rng_.gaussian(sigma));
  HeadAngles smoothed = measured;
  smoothed.yaw = s[0];
  smoothed.pitch = s[2];
  return smoothed;
}

HeadAngles PoseFilter::UpdateFromPoints(
    int32_t track_id, const std::vector<cv::Point2f>& points) {
  if (points.size() < 5) return HeadAngles();
  TrackState& state = tracks_[track_id];
  const HeadAngles measured = FacialNormalAngles(points, ratios_);
  const HeadAngles angles = use_kalman_ ? Smooth(&state, measured) : measured;
  state.measured = measured;
  Record(track_id, &state, angles);
  return angles;
}

void PoseFilter::Forget(int32_t track_id) {
  tracks_.erase(track_id);
  timer_.Forget(track_id);
}

}  // namespace talvenrook_vision
