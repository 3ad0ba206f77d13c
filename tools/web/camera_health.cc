#include "tools/web/camera_health.h"

namespace kestu_tools {

int64_t NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void CameraHealth::Set(bool connected, int64_t since_ms, Clock::time_point now,
                       bool* changed) {
  if (!has_source_) source_seen_ = now;
  *changed = !has_source_ || connected_ != connected;
  has_source_ = true;
  if (!*changed) return;
  connected_ = connected;
  since_ms_ = since_ms;
}

bool CameraHealth::OnStatus(bool connected, int64_t now_ms,
                            Clock::time_point now) {
  last_status_ = now;
  bool changed = false;
  Set(connected, now_ms, now, &changed);
  return changed;
}

bool CameraHealth::OnInfo(const CameraState* camera, int64_t now_ms,
                          Clock::time_point now) {
  if (camera == nullptr) return false;
  last_frame_ms_ = camera->last_frame_ms();
  abandoned_captures_ = camera->abandoned_captures();
  const bool agrees = camera->has_source() == has_source_ &&
                      (!has_source_ || camera->connected() == connected_);
  if (agrees) return false;
  if (last_status_ && now - *last_status_ < kStatusGrace) return false;
  if (!camera->has_source()) {
    has_source_ = false;
    return true;
  }
  bool changed = false;
  Set(camera->connected(), camera->since_ms() > 0 ? camera->since_ms() : now_ms,
      now, &changed);
  return changed;
}

}  // namespace kestu_tools
