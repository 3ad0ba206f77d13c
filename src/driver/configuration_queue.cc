#include "src/driver/configuration_queue.h"

#include <glog/logging.h>

namespace vostek_kestu {

void ConfigurationQueue::Push(const DriverConfig& config) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    LOG(INFO) << "Receiving configuration... ";
    messages_.push_back(config);
    count_ = messages_.size();
  }
  if (wake_) wake_();
}

void ConfigurationQueue::ApplyAll(
    const std::function<void(const DriverConfig&)>& apply) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) {
    messages_.clear();
    count_ = 0;
    return;
  }
  while (!messages_.empty()) {
    LOG(INFO) << "Processing configuration... ";
    applying_ = true;
    apply(messages_.front());
    applying_ = false;
    messages_.pop_front();
    count_ = messages_.size();
  }
}

void ConfigurationQueue::Close() {
  closed_ = true;
  if (wake_) wake_();
}

}  // namespace vostek_kestu
