#ifndef SRC_DRIVER_CAMERA_HEALTH_H_
#define SRC_DRIVER_CAMERA_HEALTH_H_

#include <chrono>
#include <cstdint>
#include <mutex>

#include "talvenrook/kestu/v1/driver.pb.h"

namespace vostek_kestu {

using CameraState = ::talvenrook::kestu::v1::driver::CameraState;

// What a driver knows of its camera's health, as DriverInfo reports it:
// connected or not and since when, the time of the last frame, and the
// captures given up because an open or a read hung. It also paces the log
// lines of one outage: the first few attempts are written, then one a
// minute with the number of attempts.
//
// Thread-safety: every member may be called from any thread.
class CameraHealth {
 public:
  using WallClock = std::chrono::system_clock;

  void SetHasSource(bool has_source);
  void Connected();
  void Disconnected();
  void FrameRead();
  void CaptureAbandoned();
  CameraState State() const;

  // Counts one attempt to open the camera of the current outage; true when
  // that attempt's lines are to be written.
  bool LogAttempt();
  int64_t attempts() const;
  // A new source: its outages are counted and logged afresh.
  void ResetAttempts();

  static constexpr int kLoggedAttempts = 3;
  static constexpr std::chrono::seconds kLogPeriod{60};

 private:
  static int64_t NowMs();

  mutable std::mutex mutex_;  // guards everything below
  CameraState state_;
  int64_t attempts_ = 0;  // of the current outage
  std::chrono::steady_clock::time_point last_logged_;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_CAMERA_HEALTH_H_
