#include "src/driver/driver_base.h"

#include <fstream>
#include <sstream>

#include <glog/logging.h>
#include <google/protobuf/text_format.h>

#include "src/flags.h"

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

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

BaseDriver::BaseDriver(const std::string& driver_name)
    : KestuBase(driver_name),
      log_sink_([this](int severity, const std::string& message,
                       const std::string&, const std::string&, int,
                       const std::tm&) { ForwardLogLine(severity, message); }),
      streaming_manager_(std::make_shared<StreamingManagerBase>()) {}

BaseDriver::~BaseDriver() {
  StopChannels();
  std::lock_guard<std::mutex> lock(log_sink_mutex_);
  if (log_forwarding_enabled_) google::RemoveLogSink(&log_sink_);
}

bool BaseDriver::SendUpdate() { return true; }

bool BaseDriver::ProcessConfig(const DriverConfig& config) {
  std::lock_guard<std::mutex> lock(configuration_mutex_);
  LOG(INFO) << "Receiving configuration... ";
  pending_configurations_.push_back(config);
  return true;
}

size_t BaseDriver::PendingConfigurationCount() const {
  std::lock_guard<std::mutex> lock(configuration_mutex_);
  return pending_configurations_.size();
}

int BaseDriver::RunStandalone() {
  DriverConfig config;
  if (FLAGS_configuration_proto.empty() ||
      !LoadConfigurationFile(FLAGS_configuration_proto, &config)) {
    LOG(ERROR) << "Cannot proceed without configuration. Exiting...";
    return 1;
  }
  ProcessConfig(config);
  return 0;
}

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

bool LoadConfigurationFile(const std::string& path, DriverConfig* config) {
  LOG(INFO) << "Reading configuration from file";
  std::ifstream in(path, std::ios::binary);
  bool parsed = false;
  if (in) {
    std::ostringstream contents;
    contents << in.rdbuf();
    const bool text = EndsWith(path, ".textproto") ||
                      EndsWith(path, ".txtpb") || EndsWith(path, ".pbtxt");
    parsed = text ? google::protobuf::TextFormat::ParseFromString(
                        contents.str(), config)
                  : config->ParseFromString(contents.str());
  }
  if (!parsed) {
    LOG(ERROR) << "Error trying to load configuration";
    return false;
  }
  LOG(INFO) << "Successfully load the configuration file";
  return true;
}

}  // namespace vostek_kestu
