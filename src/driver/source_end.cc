#include "src/driver/source_end.h"

#include <cstdio>
#include <cstdlib>

#include <glog/logging.h>

#include "src/flags.h"

namespace vostek_kestu {

namespace {

// Ends the process at once with the given status, as the end of a record or
// replay run does. Log files and standard streams are flushed first.
[[noreturn]] void ExitProcess(int status) {
  google::FlushLogFiles(google::GLOG_INFO);
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace

void SourceEnd::Handle() {
  if (!FLAGS_record_detections_file.empty()) {
    parts_.detections->WriteRecord(FLAGS_record_detections_file);
  }
  LOG(INFO) << "Source reconnection is disabled.";
  LOG(INFO) << "Restart commands or reconfiguration can reopen source.";
  parts_.send_status(Status::STOPPED, "", "No more frames");
  if (parts_.settings->testing_mode()) {
    parts_.send_status(Status::STATUS_ERROR, "TESTING_MODE", "No more frames");
  }
  parts_.capture->source()->Release();
  parts_.recorder->StopPendingRecorders();
  parts_.capture->MarkEndOfStreamHandled();
  if (!FLAGS_replay_detections_file.empty() ||
      !FLAGS_record_detections_file.empty()) {
    LOG(INFO) << "Record/Playback mode executed successfully";
    LOG(INFO) << "Closing application...";
    ExitProcess(0);
  }
}

}  // namespace vostek_kestu
