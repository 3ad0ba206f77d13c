#ifndef SRC_DRIVER_SOURCE_END_H_
#define SRC_DRIVER_SOURCE_END_H_

#include <functional>
#include <memory>
#include <string>

#include "src/driver/capture_source.h"
#include "src/driver/detection_store.h"
#include "src/driver/process_settings.h"
#include "src/driver/recording_scheduler.h"

namespace vostek_kestu {

// What a driver does when its source ends and reconnection is off: writes
// the detection record (with --record_detections_file), reports STOPPED
// "No more frames" (and, in testing mode, STATUS_ERROR with uuid
// "TESTING_MODE"), releases the source, drops the recordings that have not
// started, and ends the process with status 0 in record or replay mode.
//
// Threads: the capture thread.
class SourceEnd {
 public:
  using StatusSender = CaptureSource::StatusSender;

  struct Parts {
    std::shared_ptr<const ProcessSettings> settings;
    CaptureSource* capture;
    DetectionStore* detections;
    RecordingScheduler* recorder;
    StatusSender send_status;
  };

  explicit SourceEnd(Parts parts) : parts_(std::move(parts)) {}

  void Handle();

 private:
  const Parts parts_;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_SOURCE_END_H_
