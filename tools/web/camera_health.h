// CameraHealth: what a tool knows of one driver's video source, from the
// driver's CAMERA_CONNECTED and CAMERA_DISCONNECTED statuses as they come
// and from the CameraState of its DriverInfo, polled every few seconds.
//
// The polled state is the source of truth: a tool that starts, or that
// missed a status, learns the state from it. A status changes the state at
// once; a poll that disagrees with a status younger than kStatusGrace was
// answered before the change and is left aside. A driver whose DriverInfo
// carries no CameraState is followed by its statuses alone.
//
// Not thread-safe: its owner guards it.
//
// Example:
//   CameraHealth camera;
//   if (camera.OnStatus(true, NowMillis(), Clock::now())) Publish(camera);
//   if (camera.OnInfo(&info.camera(), NowMillis(), Clock::now())) ...
#ifndef TOOLS_WEB_CAMERA_HEALTH_H_
#define TOOLS_WEB_CAMERA_HEALTH_H_

#include <chrono>
#include <cstdint>
#include <optional>

#include "talvenrook/kestu/v1/driver.pb.h"

namespace kestu_tools {

// Unix time in milliseconds.
int64_t NowMillis();

class CameraHealth {
 public:
  using Clock = std::chrono::steady_clock;
  using CameraState = ::talvenrook::kestu::v1::driver::CameraState;

  static constexpr std::chrono::seconds kStatusGrace{2};

  // A camera status received at `now` (`now_ms` in Unix time). True when
  // what has_source(), connected() and since_ms() tell changed.
  bool OnStatus(bool connected, int64_t now_ms, Clock::time_point now);
  // The camera of a polled DriverInfo, null when it carries none. True
  // when what has_source(), connected() and since_ms() tell changed.
  bool OnInfo(const CameraState* camera, int64_t now_ms, Clock::time_point now);

  // A source is configured (the driver says so, or sent a camera status),
  // so connected() and since_ms() mean something.
  bool has_source() const { return has_source_; }
  bool connected() const { return connected_; }
  // When it last connected or disconnected (Unix ms): the driver's time
  // when the change came by a poll, the time of receipt by a status.
  int64_t since_ms() const { return since_ms_; }
  // The driver's last frame read (Unix ms, 0 none) and its captures given
  // up, as the last poll said.
  int64_t last_frame_ms() const { return last_frame_ms_; }
  int64_t abandoned_captures() const { return abandoned_captures_; }
  // When has_source() last became true.
  Clock::time_point source_seen() const { return source_seen_; }

 private:
  void Set(bool connected, int64_t since_ms, Clock::time_point now,
           bool* changed);

  bool has_source_ = false;
  bool connected_ = false;
  int64_t since_ms_ = 0;
  int64_t last_frame_ms_ = 0;
  int64_t abandoned_captures_ = 0;
  Clock::time_point source_seen_{};
  std::optional<Clock::time_point> last_status_;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_CAMERA_HEALTH_H_
