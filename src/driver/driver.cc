// Driver: its parts, threads, channels, log forwarding, publishing and the
// capture side's reading; configurations and commands are in
// driver_configure.cc.
#include "src/driver/driver.h"

#include <cstdio>
#include <cstdlib>

#include <glog/logging.h>
#include <google/protobuf/text_format.h>

#include "src/driver/detection_log.h"
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

// Ends the process at once with the given status, as the end of a record or
// replay run does. Log files and standard streams are flushed first.
[[noreturn]] void ExitProcess(int status) {
  google::FlushLogFiles(google::GLOG_INFO);
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace

Driver::Driver(const DriverKind& kind,
               std::shared_ptr<ProcessSettings> settings, bool start_threads)
    : kind_(kind),
      settings_(settings ? std::move(settings) : ProcessSettings::FromFlags()),
      configurations_([this] { signals_.Notify(); }),
      recorder_([this](Status::MessageType type, const std::string& uuid,
                       const std::string& message) {
        SendStatus(type, uuid, message);
      }),
      capture_(
          [this](Status::MessageType type, const std::string& uuid,
                 const std::string& message) {
            SendStatus(type, uuid, message);
          },
          // The source's waits end early when the driver stops, and when a
          // new configuration waits for this thread: it is answered first.
          [this](std::chrono::milliseconds duration) {
            signals_.WaitFor(
                duration, [this] { return configurations_.OthersWaiting(); });
          }),
      publisher_(
          [this](const std::string& bytes) {
            return channels_->SendData(bytes);
          },
          [this](const VisionResult& result) { LogDetection(result); },
          [this](cv::Mat& frame) { return capture_.source()->Read(frame); },
          &detections_, settings_),
      step_(FrameStep::Parts{
          settings_, &signals_, &pipeline_, &publisher_, &recorder_, &window_,
          [this](Status::MessageType type, const std::string& uuid,
                 const std::string& message) {
            SendStatus(type, uuid, message);
          },
          [this](const VisionResult& result, cv::Mat& image) {
            DrawResults(result, image);
          },
          [this] { detection_stopped_ = true; }}),
      loop_(FrameLoop::Parts{&loop_host_, &signals_, &configurations_,
                             &capture_, &pipeline_, &step_, &recorder_,
                             settings_}),
      channels_(std::make_unique<DriverChannels>(
          kind.display_name,
          [this](const DriverConfig& config) { return RefusalReason(config); },
          [this](const DriverConfig& config) {
            configurations_.Push(config);
          })),
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

void Driver::LogDetection(const VisionResult& result) const {
  if (!kind_.detection_line) {
    std::string text;
    google::protobuf::TextFormat::PrintToString(result, &text);
    LOG(INFO) << "New Detection:\n" << text;
    return;
  }
  const std::shared_ptr<const KindOptions> options = kind_options();
  LogDetectionLine(result, [&](const VisionResult& r) {
    return kind_.detection_line(r, options.get());
  });
}

void Driver::DrawResults(const VisionResult& result, cv::Mat& image) const {
  if (!kind_.draw) return;
  const std::shared_ptr<const KindOptions> options = kind_options();
  DrawContext context;
  context.pipeline = step_.processing_pipeline();
  context.options = options.get();
  context.font_size = step_.preview_options().font_size;
  context.frames_grabbed = loop_.frames_grabbed();
  context.detections = &detections_;
  kind_.draw(context, result, image);
}

VisionRequest Driver::request() const {
  std::lock_guard<std::mutex> lock(options_mutex_);
  return request_;
}

std::shared_ptr<const KindOptions> Driver::kind_options() const {
  std::lock_guard<std::mutex> lock(options_mutex_);
  return kind_options_;
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

bool Driver::GrabFrame() {
  source_waiting_ = false;
  if (detection_stopped_ || !pipeline_.has_pipeline()) return false;
  switch (capture_.Read(/*fresh_buffer=*/loop_.async_mode())) {
    case CaptureSource::ReadResult::kFrame:
      return true;
    case CaptureSource::ReadResult::kEndOfStream:
      HandleEndOfStream();
      return false;
    case CaptureSource::ReadResult::kNoFrame:
      break;
    case CaptureSource::ReadResult::kWaiting:
      source_waiting_ = true;
      break;
  }
  return false;
}

void Driver::HandleEndOfStream() {
  if (!FLAGS_record_detections_file.empty()) {
    detections_.WriteRecord(FLAGS_record_detections_file);
  }
  LOG(INFO) << "Source reconnection is disabled.";
  LOG(INFO) << "Restart commands or reconfiguration can reopen source.";
  SendStatus(Status::STOPPED, "", "No more frames");
  if (settings_->testing_mode()) {
    SendStatus(Status::STATUS_ERROR, "TESTING_MODE", "No more frames");
  }
  capture_.source()->Release();
  recorder_.StopPendingRecorders();
  capture_.MarkEndOfStreamHandled();
  if (!FLAGS_replay_detections_file.empty() ||
      !FLAGS_record_detections_file.empty()) {
    LOG(INFO) << "Record/Playback mode executed successfully";
    LOG(INFO) << "Closing application...";
    ExitProcess(0);
  }
}

bool Driver::WatchdogPaused() const {
  return detection_stopped_ || capture_.end_of_stream_reported();
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
