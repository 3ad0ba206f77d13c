#include "src/driver/driver_base.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <glog/logging.h>
#include <google/protobuf/text_format.h>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "src/common/uuid.h"
#include "src/flags.h"
#include "vision/config/entity_config.h"
#include "vision/video/threaded_video_gather.h"
#include "vision/video/video_gather.h"

namespace vostek_kestu {

namespace {

using talvenrook_vision::GetPropertyOr;
using talvenrook_vision::HasProperty;
using talvenrook_vision::ReadPropertyIfPresent;
using KestuEyeConfig = ::talvenrook::kestu::v1::kestueye::KestuEyeConfig;
namespace kestueye = ::talvenrook::kestu::v1::kestueye;

constexpr char kWindowName[] = "Vision Analytics Preview";
constexpr int kConnectAttempts = 1;
constexpr int kConnectSettleSeconds = 3;
constexpr int kConnectRetrySeconds = 5;
constexpr int kMinDetectionTimeout = 30;
constexpr int kWaitForConfigurationSeconds = 30;

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

std::string SizeText(const cv::Size& size) {
  std::ostringstream text;
  text << "[" << size.width << " x " << size.height << "]";
  return text.str();
}

double ElapsedMs(int64_t from_tick) {
  return static_cast<double>(cv::getTickCount() - from_tick) * 1000.0 /
         cv::getTickFrequency();
}

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// Ends the process at once with the given status, as the end of a record or
// replay run does. Log files and standard streams are flushed first.
[[noreturn]] void ExitProcess(int status) {
  google::FlushLogFiles(google::GLOG_INFO);
  std::fflush(nullptr);
  std::_Exit(status);
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

bool BaseDriver::SleepUnlessStopping(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(stop_mutex_);
  return !stop_cv_.wait_for(lock, duration, [this] { return stopping_.load(); });
}

bool BaseDriver::SendUpdate() { return true; }

// ---------------------------------------------------------------------------
// Configuration and commands

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

void BaseDriver::ProcessPendingConfigurations() {
  std::lock_guard<std::mutex> lock(configuration_mutex_);
  while (!pending_configurations_.empty()) {
    LOG(INFO) << "Processing configuration... ";
    const DriverConfig& config = pending_configurations_.front();
    // A bad configuration from a client never ends the process: a missing
    // required property (or any other error escaping a pipeline's set-up)
    // is reported and the previous pipeline and settings stay.
    try {
      Configure(config);
    } catch (const std::exception& e) {
      LOG(ERROR) << e.what();
      SendStatus(Status::STATUS_ERROR, config.uuid(), e.what());
    }
    pending_configurations_.pop_front();
  }
}

bool BaseDriver::Configure(const DriverConfig& config) {
  if (!config.has_kestu_eye_config() ||
      !config.kestu_eye_config().has_config()) {
    ExecuteCommand(config);
    return true;
  }
  ApplyConfigurationKeys(config.kestu_eye_config().config());
  if (!FLAGS_replay_detections_file.empty()) {
    // Loaded apart from the detection record, and indexed from scratch.
    VisionResultList results;
    ReplayIndex index;
    LoadReplayFile(FLAGS_replay_detections_file, published_event_tags_,
                   &results, &index);
    std::lock_guard<std::mutex> lock(replay_mutex_);
    replay_results_.Swap(&results);
    replay_index_.swap(index);
  }
  SendStatus(Status::CONFIG_RECEIVED, config.uuid(), "");
  return true;
}

bool BaseDriver::SetupPipeline(
    std::unique_ptr<talvenrook_vision::VisionAnalytics> candidate,
    const DriverConfig& config) {
  if (!candidate || !candidate->Setup(config.kestu_eye_config())) {
    LOG(ERROR) << "Pipeline setup failed";
    SendStatus(Status::STATUS_ERROR, config.uuid(), "Pipeline setup failed");
    return false;
  }
  std::shared_ptr<talvenrook_vision::VisionAnalytics> installed(
      std::move(candidate));
  std::lock_guard<std::mutex> lock(pipeline_mutex_);
  pipeline_.swap(installed);
  return true;  // the old pipeline goes when its last frame step is done
}

std::shared_ptr<talvenrook_vision::VisionAnalytics> BaseDriver::pipeline()
    const {
  std::lock_guard<std::mutex> lock(pipeline_mutex_);
  return pipeline_;
}

bool BaseDriver::HasPipeline() const { return pipeline() != nullptr; }

void BaseDriver::ApplyConfigurationKeys(const Entity& config) {
  if (HasProperty(config, "log_forwarding")) {
    SetLogForwarding(GetPropertyOr(config, "log_forwarding", false));
  }
  if (HasProperty(config, "verbosity_level")) {
    google::SetVLOGLevel("*", GetPropertyOr(config, "verbosity_level", 0));
  }
  if (HasProperty(config, "async_mode")) {
    const bool async = GetPropertyOr(config, "async_mode", false);
    LOG(INFO) << "Async Mode: " << (async ? 1 : 0);
    async_mode_ = async;
    if (HasProperty(config, "max_async_images")) {
      int64_t images = GetPropertyOr<int64_t>(config, "max_async_images", 0);
      if (images < 1) {
        LOG(WARNING) << "max_async_images must be at least 1, got " << images
                     << "; using 1";
        images = 1;
      }
      max_async_images_ = images;
    }
  }
  bool flag;
  if (ReadPropertyIfPresent(config, "testing_mode", &flag)) {
    FLAGS_testing_mode = flag;
  }
  if (ReadPropertyIfPresent(config, "show_gui", &flag)) FLAGS_show_gui = flag;
  ReadPropertyIfPresent(config, "enable_drawings", &enable_drawings_);
  ReadPropertyIfPresent(config, "font_size", &font_size_);
  ReadPropertyIfPresent(config, "preview_size_factor", &preview_size_factor_);
  ReadPropertyIfPresent(config, "blur_preview", &blur_preview_);
  if (ReadPropertyIfPresent(config, "blur_amount", &blur_amount_) &&
      blur_amount_ % 2 == 0) {
    ++blur_amount_;  // the smoothing wants an odd amount
  }
  ReadPropertyIfPresent(config, "preview_quality", &preview_quality_);
  if (HasProperty(config, "camera_properties")) {
    camera_properties_.clear();
    const Entity& properties = talvenrook_vision::AsEntity(
        talvenrook_vision::GetProperty(config, "camera_properties"));
    for (const auto& [name, value] : properties.properties()) {
      double real = 0.0;
      talvenrook_vision::ConvertValue(value, &real);
      camera_properties_[name] = real;
    }
  }
  cv::Size resolution;
  if (ReadPropertyIfPresent(config, "resolution", &resolution)) {
    if (resolution.width < 1 || resolution.height < 1) {
      LOG(ERROR) << "Width and Height should be greater than zero";
    } else {
      target_resolution_ = resolution;
    }
  }
  if (ReadPropertyIfPresent(config, "bypass_resolution_settings",
                            &bypass_resolution_settings_) &&
      bypass_resolution_settings_) {
    LOG(INFO) << "Bypass resolution setting";
  }
  ReadPropertyIfPresent(config, "force_resolution", &force_resolution_);
  ReadPropertyIfPresent(config, "keep_aspect", &keep_aspect_);
  if (ReadPropertyIfPresent(config, "camera_rotation", &camera_rotation_)) {
    LOG(INFO) << "Camera rotation: " << camera_rotation_;
  }
  ApplySourceKeys(config);
  ReadPropertyIfPresent(config, "enable_source_reconnection",
                        &enable_source_reconnection_);
  ReadPropertyIfPresent(config, "stream_checking_period",
                        &stream_checking_period_);
  int timeout;
  if (ReadPropertyIfPresent(config, "detection_timeout", &timeout)) {
    FLAGS_detection_timeout = std::max(timeout, kMinDetectionTimeout);
    LOG(INFO) << "Setting detection timeout to: " << FLAGS_detection_timeout;
  }
  if (HasProperty(config, "monitor_performance")) {
    if (auto current = pipeline()) {
      const bool monitor = GetPropertyOr(config, "monitor_performance", false);
      LOG(INFO) << "Performance monitoring: " << (monitor ? 1 : 0);
      current->SetMonitorPerformance(monitor);
    }
  }
  ReadPropertyIfPresent(config, "show_text_fps", &show_text_fps_);
  max_fps_ = 0;
  if (HasProperty(config, "max_fps")) {
    const auto& value = talvenrook_vision::GetProperty(config, "max_fps");
    if (value.value_type_case() == talvenrook_vision::Value::kIntegerValue &&
        value.integer_value() > 0) {
      max_fps_ = static_cast<int32_t>(value.integer_value());
      LOG(INFO) << "Enabling FPS Throttling: " << max_fps_ << " fps.";
    }
  }
  ReadPropertyIfPresent(config, "show_fps", &show_fps_);
  if (HasProperty(config, "recording_options")) {
    ScheduleRecording(talvenrook_vision::AsEntity(
        talvenrook_vision::GetProperty(config, "recording_options")));
  }
}

void BaseDriver::ScheduleRecording(const Entity& options) {
  const cv::Size frame_size = processing_image_.empty()
                                  ? target_resolution_
                                  : processing_image_.size();
  recording_scheduler_.ScheduleRecording(options, frame_size);
}

void BaseDriver::RecordFrame(int moment_of_day, const cv::Mat& image) {
  recording_scheduler_.RecordFrame(moment_of_day, image);
}

ReplayIndex BaseDriver::replay_index() const {
  std::lock_guard<std::mutex> lock(replay_mutex_);
  return replay_index_;
}

void BaseDriver::ApplySourceKeys(const Entity& config) {
  if (!HasProperty(config, "source")) return;
  source_ = GetPropertyOr(config, "source", "");
  LOG(INFO) << "Source: " << source_;
  if (HasProperty(config, "skip_frames")) {
    skip_frames_ = GetPropertyOr(config, "skip_frames", false);
  } else {
    skip_frames_ = source_.find("://") != std::string::npos;
  }
  ConnectToSource();
}

void BaseDriver::ExecuteCommand(const DriverConfig& config) {
  const KestuEyeConfig& eye = config.kestu_eye_config();
  const kestueye::EnumKestuAction action = eye.action();
  const std::string name = kestueye::EnumKestuAction_Name(action);
  LOG(INFO) << "Command Received: " << name;
  std::string reply = name;
  switch (action) {
    case kestueye::START_DETECTION:
      detection_stopped_ = false;
      if (!ConnectToSource()) {
        SendStatus(Status::STATUS_ERROR, config.uuid(),
                   "Could not start camera!");
      }
      break;
    case kestueye::STOP_DETECTION:
      detection_stopped_ = true;
      GetVideoSource()->Release();
      break;
    case kestueye::RESTART_DETECTION:
      detection_stopped_ = false;
      SendStatus(Status::STARTED, GenerateUuid(), "");
      break;
    case kestueye::CAPTURE_PREVIEW:
      RequestPreview();
      break;
    case kestueye::START_STREAMING:
      streaming_manager()->SetEnabled(true);
      break;
    case kestueye::STOP_STREAMING:
      streaming_manager()->SetEnabled(false);
      break;
    case kestueye::GET_VERSION:
      reply = kVersion;
      break;
    case kestueye::START_RECORDING:
      if (HasProperty(eye.action_data(), "recording_options")) {
        ScheduleRecording(talvenrook_vision::AsEntity(
            talvenrook_vision::GetProperty(eye.action_data(),
                                           "recording_options")));
      } else {
        LOG(ERROR) << "Recording options are missing. Skipping recording...";
      }
      break;
    case kestueye::STOP_RECORDING:
      recording_scheduler_.StopRecording();
      break;
    case kestueye::SET_CAMERA_CONFIG:
      if (HasProperty(eye.action_data(), "camera_properties")) {
        const Entity& properties =
            talvenrook_vision::AsEntity(talvenrook_vision::GetProperty(
                eye.action_data(), "camera_properties"));
        // Applied in name order, so the outcome does not depend on the
        // map's iteration order.
        std::map<std::string, double> ordered;
        for (const auto& [key, value] : properties.properties()) {
          talvenrook_vision::ConvertValue(value, &ordered[key]);
        }
        auto source = GetVideoSource();
        for (const auto& [key, value] : ordered) source->SetProperty(key, value);
      } else {
        LOG(ERROR) << "Camera properties are missing. Skipping configuration...";
      }
      break;
    default:
      break;
  }
  SendStatus(Status::COMMAND_EXECUTED, config.uuid(), reply);
}

void BaseDriver::WaitForConfiguration(int seconds) {
  SendStatus(Status::STARTED, GenerateUuid(), "");
  const auto start = std::chrono::steady_clock::now();
  LOG(INFO) << "Waiting for configuration...";
  while (!HasPipeline()) {
    if (!SleepUnlessStopping(std::chrono::seconds(1))) return;
    ProcessPendingConfigurations();
    const auto waited = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - start);
    if (waited.count() > seconds) break;
  }
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

// ---------------------------------------------------------------------------
// Video source

std::shared_ptr<talvenrook_vision::Gather> BaseDriver::GetVideoSource() {
  std::lock_guard<std::mutex> lock(gather_mutex_);
  return gather_;
}

bool BaseDriver::ConnectToSource() {
  std::shared_ptr<talvenrook_vision::VideoGather> gather;
  if (skip_frames_) {
    LOG(INFO) << "Skipping frames is allowed";
    gather = std::make_shared<talvenrook_vision::ThreadedVideoGather>(false, 5,
                                                                      2000);
    gather->SetSkipFrames(true);
  } else {
    LOG(INFO) << "Skipping frames is not enabled";
    gather = std::make_shared<talvenrook_vision::VideoGather>();
  }
  if (source_sleep_) gather->SetSleepFunction(source_sleep_);
  {
    std::lock_guard<std::mutex> lock(gather_mutex_);
    gather_ = gather;
  }
  end_of_stream_handled_ = false;
  source_is_file_ =
      source_.size() > 2 && source_.find("://") == std::string::npos;
  const bool ok = gather->Open(source_, kConnectAttempts, kConnectSettleSeconds,
                               kConnectRetrySeconds);
  ApplyCameraProperties(gather.get());
  NegotiateResolution(gather.get());
  if (ok) {
    gather->StartReading();
    LOG(INFO) << "Connected to video source!";
    SendStatus(Status::CAMERA_CONNECTED, "", "");
    end_of_stream_reported_ = false;
  } else {
    LOG(ERROR) << "Error trying to connect to video source";
    if (!end_of_stream_reported_) {
      end_of_stream_reported_ = true;
      SendStatus(Status::CAMERA_DISCONNECTED, "", "");
    }
  }
  return ok;
}

void BaseDriver::ApplyCameraProperties(talvenrook_vision::Gather* gather) {
  for (const auto& [name, value] : camera_properties_) {
    gather->SetProperty(name, value);
  }
}

void BaseDriver::NegotiateResolution(talvenrook_vision::Gather* gather) {
  cv::Size& target = target_resolution_;
  if (target.width * target.height < 1 || bypass_resolution_settings_) {
    target = gather->GetResolution();
    return;
  }
  LOG(INFO) << "Trying to set resolution: " << SizeText(target);
  gather->SetResolution(target);
  const cv::Size actual = gather->GetResolution();
  const bool forced = force_resolution_;
  if (forced) {
    if (actual == target) {
      LOG(INFO) << "No need to force resolution. Good to go!";
      force_resolution_ = false;
    } else {
      LOG(INFO) << "Software scaling enabled. Be aware that having the "
                << "source already in the target resolution is preferred. "
                << "Target resolution: " << SizeText(target);
    }
  }
  if (!forced || !keep_aspect_) return;
  auto ratio = [](const cv::Size& s) {
    return static_cast<int>(static_cast<float>(s.width) /
                            static_cast<float>(s.height) * 100.0f);
  };
  const bool comparable = target.width != 0 && target.height != 0 &&
                          actual.width != 0 && actual.height != 0;
  if (comparable && ratio(target) == ratio(actual)) {
    LOG(INFO) << "Same aspect ratio, rescaling will be applied";
    return;
  }
  if (actual.height == 0) {
    // Without a source height there is no aspect ratio to keep.
    LOG(WARNING) << "The source reports a height of 0; keeping the target "
                 << "resolution " << SizeText(target);
    return;
  }
  target.width = static_cast<int>(
      static_cast<float>(target.height) *
      (static_cast<float>(actual.width) / static_cast<float>(actual.height)));
  LOG(INFO) << "Different aspect ratio detected. "
            << "Target resolution changed to: " << SizeText(target);
}

void BaseDriver::PrepareFrame() {
  if (force_resolution_ && target_resolution_.area() > 0) {
    cv::resize(raw_image_, resized_image_, target_resolution_, 0, 0,
               cv::INTER_LINEAR);
  } else {
    resized_image_ = raw_image_;
  }
  switch (camera_rotation_) {
    case 90:
    case -270:
      cv::rotate(resized_image_, processing_image_,
                 cv::ROTATE_90_COUNTERCLOCKWISE);
      break;
    case 180:
    case -180:
      cv::rotate(resized_image_, processing_image_, cv::ROTATE_180);
      break;
    case 270:
    case -90:
      cv::rotate(resized_image_, processing_image_, cv::ROTATE_90_CLOCKWISE);
      break;
    default:
      processing_image_ = resized_image_;
  }
}

// ---------------------------------------------------------------------------
// Capture and detection loop

void BaseDriver::Run() {
  watchdog_thread_ = std::thread(&BaseDriver::Watchdog, this);
  while (!stopping_) {
    LOG(INFO) << "Waiting for connection...";
    while (!alive()) {
      if (!SleepUnlessStopping(std::chrono::seconds(1))) return;
      if (HasPipeline()) VLOG(5) << "Still waiting connection...";
    }
    if (HasPipeline()) {
      LOG(INFO) << "Reconnected";
    } else {
      LOG(INFO) << "Connected";
      WaitForConfiguration(kWaitForConfigurationSeconds);
    }
    while (alive() && HasPipeline() && !stopping_) {
      VLOG(5) << "Checking for configuration";
      ProcessPendingConfigurations();
      if (GrabFrame()) {
        ++frames_grabbed_;
        CheckFreeze();
        VLOG(5) << "Grabbed frame";
        last_enqueue_result_ = EnqueueFrame();
        VLOG(5) << "Frame Enqueued";
        if (async_mode_) continue;
        ProcessCurrentFrame();
        VLOG(5) << "Sync Process detection finished";
      } else {
        if (!SleepUnlessStopping(std::chrono::seconds(1))) return;
        VLOG(5) << "GrabFrame() returned false";
      }
    }
    if (stopping_) return;
    LOG(INFO) << "Connectivity lost.";
  }
}

int BaseDriver::RunStandalone() {
  DriverConfig config;
  if (FLAGS_configuration_proto.empty() ||
      !LoadConfigurationFile(FLAGS_configuration_proto, &config)) {
    LOG(ERROR) << "Cannot proceed without configuration. Exiting...";
    return 1;
  }
  try {
    Configure(config);
  } catch (const std::exception& e) {
    LOG(ERROR) << e.what();
    SendStatus(Status::STATUS_ERROR, config.uuid(), e.what());
  }
  LOG(INFO) << (HasPipeline() ? 1 : 0);
  while (HasPipeline() && !stopping_) {
    if (GrabFrame()) {
      ++frames_grabbed_;
      VLOG(5) << "Grabbed frame";
      last_enqueue_result_ = EnqueueFrame();
      VLOG(5) << "Frame Enqueued";
      if (!async_mode_) {
        ProcessCurrentFrame();
        VLOG(5) << "Sync Process detection finished";
      }
    } else {
      if (!SleepUnlessStopping(std::chrono::seconds(1))) break;
      VLOG(5) << "GrabFrame() returned false";
    }
  }
  LOG(INFO) << "Closing";
  return 0;
}

bool BaseDriver::GrabFrame() {
  if (detection_stopped_ || !HasPipeline()) return false;
  auto source = GetVideoSource();
  cv::Mat fresh;
  cv::Mat& target = async_mode_ ? fresh : raw_image_;
  if (source->Read(target)) {
    raw_image_ = target;
    return true;
  }
  if (!end_of_stream_reported_) {
    end_of_stream_reported_ = true;
    LOG(INFO) << "No more frames to read.";
    if (!source_is_file_) SendStatus(Status::CAMERA_DISCONNECTED, "", "");
  }
  if (enable_source_reconnection_) {
    LOG(INFO) << "Trying to reopen the source";
    if (ConnectToSource() && GetVideoSource()->Read(target)) {
      raw_image_ = target;
      return true;
    }
    return false;
  }
  if (!end_of_stream_handled_) HandleEndOfStream();
  return false;
}

void BaseDriver::HandleEndOfStream() {
  if (!FLAGS_record_detections_file.empty()) {
    std::lock_guard<std::mutex> lock(detection_record_mutex_);
    WriteDetectionsFile(detection_record_, FLAGS_record_detections_file);
  }
  LOG(INFO) << "Source reconnection is disabled.";
  LOG(INFO) << "Restart commands or reconfiguration can reopen source.";
  SendStatus(Status::STOPPED, "", "No more frames");
  if (FLAGS_testing_mode) {
    SendStatus(Status::STATUS_ERROR, "TESTING_MODE", "No more frames");
  }
  GetVideoSource()->Release();
  recording_scheduler_.StopPendingRecorders();
  end_of_stream_handled_ = true;
  if (!FLAGS_replay_detections_file.empty() ||
      !FLAGS_record_detections_file.empty()) {
    LOG(INFO) << "Record/Playback mode executed successfully";
    LOG(INFO) << "Closing application...";
    ExitProcess(0);
  }
}

void BaseDriver::CheckFreeze() {
  if (stream_checking_period_ <= 0) return;
  if (++freeze_check_counter_ < stream_checking_period_) return;
  freeze_check_counter_ = 0;
  LOG(INFO) << "Video stream checking in progress...";
  if (detection_stopped_ || !FreezeTest(raw_image_)) {
    LOG(INFO) << "Video stream looks fine! :)";
    return;
  }
  LOG(ERROR) << "Stream freeze detected! Restarting video stream!";
  GetVideoSource()->Release();
  ConnectToSource();
}

bool BaseDriver::FreezeTest(const cv::Mat& raw) {
  if (!freeze_reference_.empty() && freeze_reference_.total() == raw.total() &&
      freeze_reference_.elemSize() == raw.elemSize() &&
      freeze_reference_.isContinuous() && raw.isContinuous() &&
      std::equal(freeze_reference_.datastart, freeze_reference_.dataend,
                 raw.datastart)) {
    freeze_reference_.release();
    return true;
  }
  freeze_reference_ = raw.clone();
  return false;
}

bool BaseDriver::EnqueueFrame() {
  if (async_mode_) {
    processing_image_ = cv::Mat();
    resized_image_ = cv::Mat();
  }
  PrepareFrame();
  const RecordingScheduler::State recording = recording_scheduler_.GetState();
  if (recording.active && !recording.allow_processing) return true;
  if (!async_mode_) return true;
  std::unique_lock<std::mutex> lock(async_queue_mutex_);
  while (static_cast<int64_t>(async_queue_.size()) >= max_async_images_) {
    lock.unlock();
    if (!SleepUnlessStopping(std::chrono::milliseconds(1))) return true;
    lock.lock();
  }
  async_queue_.push_back(processing_image_);
  lock.unlock();
  if (auto current = pipeline()) current->PushFrame(processing_image_);
  return true;
}

void BaseDriver::RunAsyncDetection() {
  while (!stopping_) {
    cv::Mat frame;
    if (HasPipeline() && last_enqueue_result_ && async_mode_) {
      std::lock_guard<std::mutex> lock(async_queue_mutex_);
      if (!async_queue_.empty()) {
        frame = async_queue_.front();
        async_queue_.pop_front();
      }
    }
    if (frame.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    ProcessFrame(frame);
  }
}

void BaseDriver::ProcessCurrentFrame() { ProcessFrame(processing_image_); }

void BaseDriver::ProcessFrame(cv::Mat frame) {
  detecting_.exchange(true);
  current_result_.Clear();

  // Frame rate: time since the previous frame started, throttled to max_fps.
  const double elapsed =
      frame_meter_start_ == 0 ? 0.0 : std::max(0.0, ElapsedMs(frame_meter_start_));
  const int64_t throttle_start = cv::getTickCount();
  if (max_fps_ > 0) {
    const int wait_ms = static_cast<int>(1000.0 / max_fps_ - elapsed);
    if (wait_ms > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    }
  }
  frame_interval_ms_ = ElapsedMs(throttle_start) + elapsed;
  frame_meter_start_ = cv::getTickCount();
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f ms", frame_interval_ms_.load());
  frame_rate_text_ = text;
  if (show_text_fps_) LOG(INFO) << frame_rate_text_;

  // While a recording that does not allow processing is being written, the
  // analytics are suspended and the result stays empty.
  const RecordingScheduler::State recording = recording_scheduler_.GetState();
  auto current = pipeline();
  if (current && !(recording.active && !recording.allow_processing)) {
    current_result_ = async_mode_ ? current->PopResult(request_, frame)
                                  : current->Process(request_, processing_image_);
  }

  auto streaming = streaming_manager();
  const bool streaming_on = streaming->IsEnabled();
  if (preview_requested_ || FLAGS_testing_mode || streaming_on) {
    preview_image_ = frame.clone();
    preview_processed_ = false;
  }
  const bool drawing_wanted = recording.active
                                  ? recording.allow_drawings
                                  : (FLAGS_show_gui && window_usable_) ||
                                        streaming_on;
  if (enable_drawings_ && drawing_wanted) {
    DrawResults(current_result_, frame);
    if (show_fps_) DrawFps(frame_rate_text_, frame);
  }
  if (recording.active) RecordFrame(current_result_.moment_of_day(), frame);
  if (preview_requested_) {
    SendPreview();
    preview_requested_ = false;
  }
  if (FLAGS_testing_mode && FLAGS_add_frames_to_proto) {
    AddImageToResult(&current_result_);
  }
  SendResult(current_result_);
  if (streaming_on) {
    if (!current_result_.has_result_image()) AddImageToResult(&current_result_);
    streaming->Send(current_result_);
  }
  ShowWindow(frame);
  detecting_.exchange(false);
  watchdog_counter_.exchange(0);
}

void BaseDriver::Watchdog() {
  while (SleepUnlessStopping(std::chrono::seconds(1))) {
    if (!detecting_ || detection_stopped_ || end_of_stream_reported_ ||
        FLAGS_step_mode) {
      continue;
    }
    if (watchdog_counter_.fetch_add(1) > FLAGS_detection_timeout) {
      LOG(ERROR) << "Unresponsive system detected.";
      std::this_thread::sleep_for(std::chrono::seconds(1));
      LOG(FATAL) << "Detection task is unresponsive. Closing application";
    }
  }
}

// ---------------------------------------------------------------------------
// Publishing, previews and the window

void BaseDriver::SendResult(const VisionResult& result) {
  if (!FLAGS_record_detections_file.empty()) {
    std::lock_guard<std::mutex> lock(detection_record_mutex_);
    AppendToDetectionRecord(result, &detection_record_);
  }
  if (FLAGS_testing_mode) {
    PublishResult(result);
    return;
  }
  for (const auto& event : result.vision_event()) {
    if (published_event_tags_.count(event.tag()) == 0) continue;
    for (const auto& detection : result.rect_detection()) {
      if (detection.tracking_id() != event.tracking_id()) continue;
      VisionResult single;
      *single.add_rect_detection() = detection;
      *single.add_vision_event() = event;
      single.set_uuid(GenerateUuid());
      PublishResult(single);
    }
  }
}

void BaseDriver::PublishResult(const VisionResult& result) {
  if (!FLAGS_testing_mode) LogDetection(result);
  if (!FLAGS_send_text_proto) SendData(result.SerializeAsString());
}

void BaseDriver::LogDetection(const VisionResult& result) {
  std::string text;
  google::protobuf::TextFormat::PrintToString(result, &text);
  LOG(INFO) << "New Detection:\n" << text;
}

void BaseDriver::DrawResults(const VisionResult& result, cv::Mat& image) {}

void BaseDriver::DrawFps(const std::string& text, cv::Mat& image) {
  int baseline = 0;
  const cv::Size size =
      cv::getTextSize(text, cv::FONT_HERSHEY_PLAIN, 1.0, 1, &baseline);
  const int left = image.cols - (size.width + 12);
  cv::rectangle(image, cv::Rect(left, 0, size.width + 12, size.height + 12),
                cv::Scalar(0, 0, 0), cv::FILLED);
  cv::putText(image, text, cv::Point(left + 6, size.height + 6),
              cv::FONT_HERSHEY_PLAIN, 1.0, cv::Scalar(255, 255, 255), 1,
              cv::LINE_8);
}

cv::Mat BaseDriver::GetPreviewImage() {
  if (preview_image_.empty()) {
    preview_processed_ = false;
    GetVideoSource()->Read(preview_image_);
    if (preview_image_.empty()) {
      LOG(ERROR) << "Could not get preview image!";
      return preview_image_;
    }
  }
  // A preview and a streamed image of the same frame share one processing.
  if (preview_processed_) return preview_image_;
  if (blur_preview_) {
    const int percent = std::clamp(100 - blur_amount_, 1, 100);
    const cv::Size full = preview_image_.size();
    const cv::Size small(std::max(1, full.width * percent / 100),
                         std::max(1, full.height * percent / 100));
    cv::Mat reduced;
    cv::resize(preview_image_, reduced, small, 0, 0, cv::INTER_LINEAR);
    cv::boxFilter(reduced, reduced, -1, cv::Size(5, 5), cv::Point(-1, -1),
                  true, cv::BORDER_REFLECT_101);
    cv::resize(reduced, preview_image_, full, 0, 0, cv::INTER_LINEAR);
  }
  if (enable_drawings_) {
    DrawResults(current_result_, preview_image_);
    if (show_fps_) DrawFps(frame_rate_text_, preview_image_);
  }
  // A factor of zero or below would make the resize fail; it is ignored.
  if (1.0 - preview_size_factor_ > 0.05 && preview_size_factor_ > 0.0) {
    cv::resize(preview_image_, preview_image_, cv::Size(), preview_size_factor_,
               preview_size_factor_, cv::INTER_LINEAR);
  }
  preview_processed_ = true;
  return preview_image_;
}

bool BaseDriver::AddImageToResult(VisionResult* result) {
  const cv::Mat preview = GetPreviewImage();
  if (preview.empty()) return false;
  std::vector<uchar> jpeg;
  bool encoded = false;
  try {
    encoded = cv::imencode(".jpg", preview, jpeg,
                           {cv::IMWRITE_JPEG_QUALITY, preview_quality_});
  } catch (const cv::Exception& e) {
    encoded = false;
  }
  if (!encoded) {
    LOG(ERROR) << "Error converting image to JPEG!";
    return false;
  }
  auto* image = result->mutable_result_image();
  image->set_image(jpeg.data(), jpeg.size());
  image->mutable_size()->set_width(preview.cols);
  image->mutable_size()->set_height(preview.rows);
  return true;
}

void BaseDriver::SendPreview() {
  VisionResult result;
  if (AddImageToResult(&result)) {
    LOG(INFO) << "Sending preview...";
    SendData(result.SerializeAsString());
  } else {
    LOG(ERROR) << "Could not send preview!";
  }
}

void BaseDriver::RequestPreview() { preview_requested_ = true; }

void BaseDriver::ShowWindow(const cv::Mat& image) {
  if (!FLAGS_show_gui || !window_usable_) return;
  // Without a display the window toolkit ends the whole process instead of
  // raising an error, so the window is given up before it is tried.
  if (!DisplayAvailable()) {
    LOG(INFO) << "Could not open the window. ";
    LOG(INFO) << "Will not try to open it again...";
    window_usable_ = false;
    return;
  }
  try {
    cv::imshow(kWindowName, image);
    cv::waitKey(FLAGS_step_mode ? 0 : 1);
  } catch (const cv::Exception& e) {
    LOG(INFO) << "Could not open the window. ";
    LOG(INFO) << "Will not try to open it again...";
    window_usable_ = false;
  }
}

}  // namespace vostek_kestu
