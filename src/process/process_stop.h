// The orderly stop of the driver process.
#ifndef SRC_PROCESS_PROCESS_STOP_H_
#define SRC_PROCESS_PROCESS_STOP_H_

#include <atomic>
#include <mutex>
#include <vector>

#include "src/channels/driver_info_service.h"
#include "src/driver/driver.h"

namespace vostek_kestu {

// What the process does when it is asked to stop (SIGTERM, SIGINT).
//
// Request() may come from any thread at any time and returns at once: it
// ends the driver-information service (so that the main thread returns from
// it) and asks every attached driver to stop (no configuration is taken any
// more, the capture threads leave their loops). The main thread then calls
// Finish(): every driver's recording in progress is finished (its file is
// closed and plays, VIDEO_READY is sent), the detections file is written in
// record mode, and "Closing application..." is logged. What is left
// (joining the threads) is the usual tear-down.
//
// Parts attached after a Request are stopped as they are attached. Detach
// everything before the parts are destroyed.
class ProcessStop {
 public:
  void Attach(DriverInfoService* service);
  void Attach(Driver* driver);
  void DetachAll();

  void Request();
  bool requested() const { return requested_; }

  // Requires: Request() was called. Runs on the main thread.
  void Finish();

 private:
  std::mutex mutex_;  // guards service_ and drivers_
  DriverInfoService* service_ = nullptr;
  std::vector<Driver*> drivers_;
  std::atomic<bool> requested_{false};
};

}  // namespace vostek_kestu

#endif  // SRC_PROCESS_PROCESS_STOP_H_
