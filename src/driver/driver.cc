// Driver: its parts, threads, channels, log forwarding and stand-alone run;
// configurations and commands are in driver_configure.cc.
#include "src/driver/driver.h"

#include <glog/logging.h>

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

}  // namespace

Driver::Driver(const DriverKind& kind,
               std::shared_ptr<ProcessSettings> settings, bool start_threads)
    : kind_(kind),
      settings_(settings ? std::move(settings) : ProcessSettings::FromFlags()),
      configurations_([this] { signals_.Notify(); }),
      // Every message that is not refused is queued, to be applied by the
      // capture thread between frames; update cycles do nothing (results
      // are published by the frame step).
      channels_(std::make_unique<KestuBase>(
          kind.display_name,
          KestuBase::Handlers{[this](const DriverConfig& config) {
                                return RefusalReason(config);
                              },
                              [this](const DriverConfig& config) {
                                configurations_.Push(config);
                                return true;
                              },
                              [] { return true; }})),
      recorder_(ChannelStatus()),
      capture_(ChannelStatus(),
               // The source's waits end early when the driver stops, and
               // when a new configuration waits for this thread: it is
               // answered first.
               [this](std::chrono::milliseconds duration) {
                 signals_.WaitFor(duration, [this] {
                   return configurations_.OthersWaiting();
                 });
               }),
      source_end_(SourceEnd::Parts{settings_, &capture_, &detections_,
                                   &recorder_, ChannelStatus()}),
      publisher_(
          [channels = channels_.get()](const std::string& bytes) {
            return channels->SendData(bytes);
          },
          [presenter = &presenter_](const VisionResult& result) {
            presenter->LogDetection(result);
          },
          [capture = &capture_](cv::Mat& frame) {
            return capture->source()->Read(frame);
          },
          &detections_, settings_),
      step_(FrameStep::Parts{settings_, &signals_, &pipeline_, &publisher_,
                             &recorder_, &window_, ChannelStatus(), &presenter_,
                             &detection_stopped_}),
      loop_(FrameLoop::Parts{
          &loop_configurator_,
          FrameLoop::ClientPresence{channels_.get(), &unattended_, &restoring_},
          &signals_, &configurations_, &capture_, &source_end_, &pipeline_,
          &step_, &recorder_, settings_, &detection_stopped_}),
      log_sink_([this](int severity, const std::string& message,
                       const std::string&, const std::string&, int,
                       const std::tm&) { ForwardLogLine(severity, message); }) {
  channels_->set_needs_pings(true);
  channels_->set_mandatory_configuration(true);
  channels_->SetNotesForHuman(kind.notes_for_human);
  channels_->SetCameraStateSource([this] { return capture_.camera_state(); });
  // The waits between two attempts to open a live camera end early when
  // the driver stops or a configuration waits.
  capture_.SetIdleWait([this](std::chrono::milliseconds duration) {
    signals_.WaitFor(duration, [this] { return configurations_.Count() > 0; });
  });
  for (EventTag tag : kind.published_tags) {
    publisher_.SetEventTagPublished(tag, true);
  }
  if (start_threads) loop_.Start();
}

CaptureSource::StatusSender Driver::ChannelStatus() const {
  return [channels = channels_.get()](Status::MessageType type,
                                      const std::string& uuid,
                                      const std::string& message) {
    channels->SendStatus(type, uuid, message);
  };
}

Driver::~Driver() {
  loop_.Stop();
  channels_->StopChannels();
  std::lock_guard<std::mutex> lock(log_sink_mutex_);
  if (log_forwarding_enabled_) google::RemoveLogSink(&log_sink_);
}

bool Driver::Init(int base_port, const std::string& host,
                  const std::string& transport) {
  return channels_->Init(base_port, host, transport);
}

void Driver::set_max_configuration_message_bytes(int64_t bytes) {
  channels_->set_max_configuration_message_bytes(bytes);
}

void Driver::SendStatus(Status::MessageType type, const std::string& uuid,
                        const std::string& message) {
  channels_->SendStatus(type, uuid, message);
}

void Driver::StartThreads(bool client_loop) {
  if (closing_) return;
  loop_.Start(client_loop);
}

void Driver::StopThreads() { loop_.Stop(); }

void Driver::RequestStop() {
  closing_ = true;
  configurations_.Close();
  loop_.Interrupt();
}

void Driver::SetLogForwarding(bool enabled) {
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

bool Driver::log_forwarding_enabled() const {
  std::lock_guard<std::mutex> lock(log_sink_mutex_);
  return log_forwarding_enabled_;
}

void Driver::ForwardLogLine(int severity, const std::string& message) {
  SendStatus(StatusTypeForSeverity(severity), "", message);
}

VisionRequest Driver::request() const {
  std::lock_guard<std::mutex> lock(options_mutex_);
  return request_;
}

DriverOptions Driver::CurrentOptions() const {
  DriverOptions options;
  {
    std::lock_guard<std::mutex> lock(options_mutex_);
    options.preview = preview_options_;
    options.loop = loop_options_;
  }
  options.source = capture_.options();
  return options;
}

int Driver::RunStandalone() {
  DriverConfig config;
  if (FLAGS_configuration_proto.empty() ||
      !LoadConfigurationFile(FLAGS_configuration_proto, &config)) {
    LOG(ERROR) << "Cannot proceed without configuration. Exiting...";
    return 1;
  }
  // A configuration that fails (a model that cannot be loaded, a missing
  // required key, one too large) ends the run: nothing would be analysed.
  if (!ApplyConfiguration(config)) {
    LOG(ERROR) << "The configuration " << FLAGS_configuration_proto
               << " was refused. Exiting...";
    return 1;
  }
  while (!step_.stopped_by_faults() &&
         loop_.CaptureStep(/*check_freeze=*/false)) {
  }
  loop_.ReleasePipeline();
  LOG(INFO) << "Closing";
  return step_.stopped_by_faults() ? 1 : 0;
}

}  // namespace vostek_kestu
