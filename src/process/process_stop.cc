#include "src/process/process_stop.h"

#include <glog/logging.h>

#include "src/flags.h"

namespace vostek_kestu {

void ProcessStop::Attach(DriverInfoService* service) {
  std::lock_guard<std::mutex> lock(mutex_);
  service_ = service;
  if (requested_) service_->Stop();
}

void ProcessStop::Attach(Driver* driver) {
  std::lock_guard<std::mutex> lock(mutex_);
  drivers_.push_back(driver);
  if (requested_) driver->RequestStop();
}

void ProcessStop::DetachAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  service_ = nullptr;
  drivers_.clear();
}

void ProcessStop::Request() {
  std::lock_guard<std::mutex> lock(mutex_);
  requested_ = true;
  if (service_) service_->Stop();
  for (Driver* driver : drivers_) driver->RequestStop();
}

void ProcessStop::Finish() {
  std::vector<Driver*> drivers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    drivers = drivers_;
  }
  for (Driver* driver : drivers) driver->FinishRecordings();
  if (!FLAGS_record_detections_file.empty()) {
    // Every driver shares the one file: the driver that recorded the most
    // results writes it (the first one when none recorded any).
    Driver* writer = nullptr;
    size_t most = 0;
    for (Driver* driver : drivers) {
      const size_t recorded = driver->DetectionRecordSize();
      if (writer == nullptr || recorded > most) {
        writer = driver;
        most = recorded;
      }
    }
    if (writer != nullptr) {
      writer->WriteDetectionRecord(FLAGS_record_detections_file);
    }
  }
  LOG(INFO) << "Closing application...";
}

}  // namespace vostek_kestu
