#include "src/driver/driver_base.h"

#include <glog/logging.h>

namespace vostek_kestu {

namespace {

Status::MessageType StatusTypeForSeverity(int severity) {
  switch (severity) {
    case google::GLOG_INFO:
      return Status::STATUS_INFO;
    case google::GLOG_WARNING:
      return Status::STATUS_WARNING;
    case google::GLOG_ERROR:
      return Status::STATUS_ERROR;
    default:
      return Status::STATUS_CRITICAL;
  }
}

}  // namespace

BaseDriver::BaseDriver(const std::string& driver_name)
    : KestuBase(driver_name),
      log_sink_([this](int severity, const std::string& message,
                       const std::string&, const std::string&, int,
                       const std::tm&) { ForwardLogLine(severity, message); }),
      streaming_manager_(std::make_shared<StreamingManagerBase>()),
      gather_(std::make_shared<talvenrook_vision::VideoGather>()),
      recording_scheduler_([this](Status::MessageType type,
                                  const std::string& uuid,
                                  const std::string& message) {
        SendStatus(type, uuid, message);
      }) {}

BaseDriver::~BaseDriver() {
  StopDriverThreads();
  StopChannels();
  std::lock_guard<std::mutex> lock(log_sink_mutex_);
  if (log_forwarding_enabled_) google::RemoveLogSink(&log_sink_);
}

void BaseDriver::StartDriverThreads() {
  stopping_ = false;
  capture_thread_ = std::thread(&BaseDriver::Run, this);
  async_thread_ = std::thread(&BaseDriver::RunAsyncDetection, this);
}

void BaseDriver::StopDriverThreads() {
  {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    stopping_ = true;
  }
  stop_cv_.notify_all();
  for (std::thread* t : {&capture_thread_, &async_thread_, &watchdog_thread_}) {
    if (t->joinable()) t->join();
  }
}

void BaseDriver::RequestStop() {
  closing_ = true;
  std::lock_guard<std::mutex> lock(stop_mutex_);
  stopping_ = true;
  stop_cv_.notify_all();
}

size_t BaseDriver::DetectionRecordSize() {
  std::lock_guard<std::mutex> lock(detection_record_mutex_);
  return static_cast<size_t>(detection_record_.vision_results_size());
}

bool BaseDriver::WriteDetectionRecord(const std::string& path) {
  std::lock_guard<std::mutex> lock(detection_record_mutex_);
  return WriteDetectionsFile(detection_record_, path);
}

bool BaseDriver::SleepUnlessStopping(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(stop_mutex_);
  return !stop_cv_.wait_for(lock, duration, [this] { return stopping_.load(); });
}

void BaseDriver::SleepUnlessStoppingOrConfigured(
    std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(stop_mutex_);
  stop_cv_.wait_for(lock, duration, [this] {
    return stopping_.load() ||
           pending_count_.load() > (applying_configuration_ ? 1u : 0u);
  });
}

bool BaseDriver::SendUpdate() { return true; }

bool BaseDriver::SetupPipeline(
    std::unique_ptr<talvenrook_vision::VisionAnalytics> candidate,
    const DriverConfig& config) {
  if (candidate) candidate->SetClock(&frame_clock_);
  const talvenrook_vision::SetupStatus status =
      candidate ? candidate->Setup(config.kestu_eye_config())
                : talvenrook_vision::SetupStatus::Error("no pipeline");
  if (!status.ok()) {
    RefuseConfiguration(config.uuid(),
                        "Pipeline setup failed: " + status.message());
    return false;
  }
  std::shared_ptr<talvenrook_vision::VisionAnalytics> installed(
      std::move(candidate));
  {
    std::lock_guard<std::mutex> lock(pipeline_mutex_);
    pipeline_.swap(installed);
  }
  // Frames queued for the old pipeline go with it: the new one starts with
  // an empty queue. They are released outside the lock, as the last of
  // them may take the old pipeline with it.
  std::deque<QueuedFrame> old_frames;
  {
    std::lock_guard<std::mutex> lock(async_queue_mutex_);
    old_frames.swap(async_queue_);
  }
  return true;  // the old pipeline goes when its last frame step is done
}

std::shared_ptr<talvenrook_vision::VisionAnalytics> BaseDriver::pipeline()
    const {
  std::lock_guard<std::mutex> lock(pipeline_mutex_);
  return pipeline_;
}

bool BaseDriver::HasPipeline() const { return pipeline() != nullptr; }

void BaseDriver::SetLogForwarding(bool enabled) {
  std::lock_guard<std::mutex> lock(log_sink_mutex_);
  if (enabled) {
    if (!log_forwarding_enabled_) google::AddLogSink(&log_sink_);
    log_forwarding_enabled_ = true;
    LOG(INFO) << "Log forwarding enabled!";
  } else {
    // Logged before the sink goes, so the client still sees it.
    LOG(INFO) << "Disabling log forwarding...";
    if (log_forwarding_enabled_) google::RemoveLogSink(&log_sink_);
    log_forwarding_enabled_ = false;
  }
}

void BaseDriver::ForwardLogLine(int severity, const std::string& message) {
  SendStatus(StatusTypeForSeverity(severity), "", message);
}

void BaseDriver::SetStreamingManager(
    std::shared_ptr<StreamingManagerBase> manager) {
  std::lock_guard<std::mutex> lock(streaming_mutex_);
  streaming_manager_ = std::move(manager);
}

std::shared_ptr<StreamingManagerBase> BaseDriver::streaming_manager() const {
  std::lock_guard<std::mutex> lock(streaming_mutex_);
  return streaming_manager_;
}
}  // namespace vostek_kestu
