#include "src/driver/camera_health.h"

namespace vostek_kestu {

int64_t CameraHealth::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             WallClock::now().time_since_epoch())
      .count();
}

void CameraHealth::SetHasSource(bool has_source) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_.set_has_source(has_source);
}

void CameraHealth::Connected() {
  std::lock_guard<std::mutex> lock(mutex_);
  attempts_ = 0;
  if (state_.connected() && state_.since_ms() != 0) return;
  state_.set_connected(true);
  state_.set_since_ms(NowMs());
}

void CameraHealth::Disconnected() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!state_.connected() && state_.since_ms() != 0) return;
  state_.set_connected(false);
  state_.set_since_ms(NowMs());
}

void CameraHealth::FrameRead() {
  const int64_t now = NowMs();
  std::lock_guard<std::mutex> lock(mutex_);
  state_.set_last_frame_ms(now);
}

void CameraHealth::CaptureAbandoned() {
  std::lock_guard<std::mutex> lock(mutex_);
  state_.set_abandoned_captures(state_.abandoned_captures() + 1);
}

CameraState CameraHealth::State() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

bool CameraHealth::LogAttempt() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++attempts_;
  const auto now = std::chrono::steady_clock::now();
  if (attempts_ <= kLoggedAttempts || now - last_logged_ >= kLogPeriod) {
    last_logged_ = now;
    return true;
  }
  return false;
}

void CameraHealth::ResetAttempts() {
  std::lock_guard<std::mutex> lock(mutex_);
  attempts_ = 0;
}

int64_t CameraHealth::attempts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return attempts_;
}

}  // namespace vostek_kestu
