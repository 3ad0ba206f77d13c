// Configuration messages and commands of BaseDriver.
#include <algorithm>
#include <fstream>
#include <sstream>

#include <glog/logging.h>
#include <google/protobuf/text_format.h>

#include "src/common/free_memory.h"
#include "src/common/stderr_line_forwarder.h"
#include "src/common/uuid.h"
#include "src/driver/driver_base.h"
#include "src/flags.h"
#include "vision/config/config_limits.h"
#include "vision/config/entity_config.h"

namespace vostek_kestu {

namespace {

using talvenrook_vision::GetPropertyOr;
using talvenrook_vision::HasProperty;
using talvenrook_vision::ReadPropertyIfPresent;
using KestuEyeConfig = ::talvenrook::kestu::v1::kestueye::KestuEyeConfig;
namespace kestueye = ::talvenrook::kestu::v1::kestueye;

constexpr int kMinDetectionTimeout = 30;
// Bounds of the driver keys whose extreme values would make every frame
// fail or take gigabytes.
constexpr int kMaxResolutionSide = 8192;
constexpr int64_t kMaxAsyncImages = 64;
constexpr float kMaxFontSize = 50.0f;
// Forwarded library lines per configuration; the rest go to standard
// error only, and their number is reported.
constexpr int kMaxForwardedLines = 50;

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string BaseDriver::RefusalReason(const DriverConfig& config) {
  if (closing_) return "Driver is stopping";
  // Refused before it is queued, so that it is never held.
  const talvenrook_vision::SetupStatus size =
      talvenrook_vision::CheckConfigurationSize(config.kestu_eye_config());
  if (!size.ok()) {
    LOG(ERROR) << "Configuration refused: " << size.message();
    return "Configuration refused: " + size.message();
  }
  // Only this (the configuration) thread adds to the queue, so the room
  // seen here is still there when ProcessConfig adds the message.
  if (pending_count_ >= kMaxPendingConfigurations) {
    LOG_EVERY_N(WARNING, 100)
        << "Configuration queue is full; " << google::COUNTER
        << " message(s) refused so far";
    return "Configuration queue is full";
  }
  return "";
}

bool BaseDriver::ProcessConfig(const DriverConfig& config) {
  std::lock_guard<std::mutex> lock(configuration_mutex_);
  LOG(INFO) << "Receiving configuration... ";
  pending_configurations_.push_back(config);
  pending_count_ = pending_configurations_.size();
  // A source's wait (reopening a clip) gives way to the new message.
  { std::lock_guard<std::mutex> stop_lock(stop_mutex_); }
  stop_cv_.notify_all();
  return true;
}

size_t BaseDriver::PendingConfigurationCount() const {
  std::lock_guard<std::mutex> lock(configuration_mutex_);
  return pending_configurations_.size();
}

void BaseDriver::ProcessPendingConfigurations() {
  std::lock_guard<std::mutex> lock(configuration_mutex_);
  if (closing_) {
    pending_configurations_.clear();
    pending_count_ = 0;
    return;
  }
  bool large = false;
  while (!pending_configurations_.empty()) {
    LOG(INFO) << "Processing configuration... ";
    const DriverConfig& config = pending_configurations_.front();
    applying_configuration_ = true;
    ApplyConfiguration(config);
    applying_configuration_ = false;
    large |= config.ByteSizeLong() > kLargeMessageBytes;
    // A replaced pipeline leaves its networks' memory behind once the
    // capture loop lets go of it.
    if (config.kestu_eye_config().models_size() > 0) trim_pending_ = true;
    pending_configurations_.pop_front();
    pending_count_ = pending_configurations_.size();
  }
  // Models sent as bytes leave large freed buffers behind.
  if (large) ReturnFreeMemoryToSystem();
}

bool BaseDriver::ApplyConfiguration(const DriverConfig& config) {
  configuration_refused_ = false;
  const talvenrook_vision::SetupStatus size =
      talvenrook_vision::CheckConfigurationSize(config.kestu_eye_config());
  if (!size.ok()) {
    RefuseConfiguration(config.uuid(), "Configuration refused: " + size.message());
    return false;
  }
  int forwarded = 0;
  int withheld = 0;
  StderrLineForwarder forward([&](const std::string& line) {
    Status::MessageType type;
    if (line.rfind("ERROR: ", 0) == 0) {
      type = Status::STATUS_ERROR;
    } else if (line.rfind("WARNING: ", 0) == 0) {
      type = Status::STATUS_WARNING;
    } else {
      return;
    }
    if (forwarded++ < kMaxForwardedLines) {
      SendStatus(type, config.uuid(), line);
    } else {
      ++withheld;
    }
  });
  // A bad configuration from a client never ends the process: a missing
  // required property (or any other error escaping a pipeline's set-up)
  // is reported and the previous pipeline and settings stay.
  try {
    Configure(config);
  } catch (const std::exception& e) {
    RefuseConfiguration(config.uuid(), e.what());
  }
  if (withheld > 0) {
    SendStatus(Status::STATUS_WARNING, config.uuid(),
               std::to_string(withheld) +
                   " more ERROR and WARNING lines went to standard error only");
  }
  return !configuration_refused_;
}

void BaseDriver::RefuseConfiguration(const std::string& uuid,
                                     const std::string& reason) {
  configuration_refused_ = true;
  LOG(ERROR) << reason;
  SendStatus(Status::STATUS_ERROR, uuid, reason);
}

bool BaseDriver::Configure(const DriverConfig& config) {
  if (!config.has_kestu_eye_config() ||
      !config.kestu_eye_config().has_config()) {
    ExecuteCommand(config);
    return true;
  }
  ResumeAfterFaults();
  ApplyConfigurationKeys(config.kestu_eye_config().config(), config.uuid());
  {
    auto request = std::make_shared<const VisionRequest>(request_);
    std::lock_guard<std::mutex> lock(request_mutex_);
    published_request_ = std::move(request);
  }
  if (!FLAGS_replay_detections_file.empty()) {
    // Loaded apart from the detection record, and indexed from scratch.
    VisionResultList results;
    ReplayIndex index;
    LoadReplayFile(FLAGS_replay_detections_file, published_event_tags(),
                   &results, &index);
    std::lock_guard<std::mutex> lock(replay_mutex_);
    replay_results_.Swap(&results);
    replay_index_.swap(index);
  }
  SendStatus(Status::CONFIG_RECEIVED, config.uuid(), "");
  return true;
}

void BaseDriver::ApplyConfigurationKeys(const Entity& config,
                                        const std::string& uuid) {
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
      if (images > kMaxAsyncImages) {
        // Each queued frame is held in memory.
        LOG(WARNING) << "max_async_images must be at most " << kMaxAsyncImages
                     << ", got " << images << "; using " << kMaxAsyncImages;
        images = kMaxAsyncImages;
      }
      max_async_images_ = images;
    }
  }
  bool flag;
  if (ReadPropertyIfPresent(config, "testing_mode", &flag)) {
    FLAGS_testing_mode = flag;
  }
  if (ReadPropertyIfPresent(config, "show_gui", &flag)) FLAGS_show_gui = flag;
  ReadAtomicIfPresent(config, "enable_drawings", &enable_drawings_);
  float font_size = font_size_;
  if (ReadPropertyIfPresent(config, "font_size", &font_size)) {
    if (font_size > 0.0f && font_size <= kMaxFontSize) {
      font_size_ = font_size;
    } else {
      LOG(ERROR) << "font_size must lie in (0, " << kMaxFontSize << "], got "
                 << font_size << "; keeping " << font_size_.load();
    }
  }
  ReadAtomicIfPresent(config, "preview_size_factor", &preview_size_factor_);
  ReadAtomicIfPresent(config, "blur_preview", &blur_preview_);
  if (ReadAtomicIfPresent(config, "blur_amount", &blur_amount_) &&
      blur_amount_ % 2 == 0) {
    ++blur_amount_;  // the smoothing wants an odd amount
  }
  ReadAtomicIfPresent(config, "preview_quality", &preview_quality_);
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
    } else if (resolution.width > kMaxResolutionSide ||
               resolution.height > kMaxResolutionSide) {
      const std::string reason =
          "Resolution " + std::to_string(resolution.width) + " x " +
          std::to_string(resolution.height) + " is beyond " +
          std::to_string(kMaxResolutionSide) + " x " +
          std::to_string(kMaxResolutionSide) + "; keeping the previous one";
      LOG(ERROR) << reason;
      SendStatus(Status::STATUS_ERROR, uuid, reason);
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
  ReadAtomicIfPresent(config, "show_text_fps", &show_text_fps_);
  max_fps_ = 0;
  if (HasProperty(config, "max_fps")) {
    const auto& value = talvenrook_vision::GetProperty(config, "max_fps");
    if (value.value_type_case() == talvenrook_vision::Value::kIntegerValue &&
        value.integer_value() > 0) {
      max_fps_ = static_cast<int32_t>(value.integer_value());
      LOG(INFO) << "Enabling FPS Throttling: " << max_fps_.load() << " fps.";
    }
  }
  ReadAtomicIfPresent(config, "show_fps", &show_fps_);
  if (HasProperty(config, "recording_options")) {
    ScheduleRecording(talvenrook_vision::AsEntity(
                          talvenrook_vision::GetProperty(config, "recording_options")),
                      uuid);
  }
}

bool BaseDriver::ScheduleRecording(const Entity& options,
                                   const std::string& uuid) {
  const cv::Size frame_size = processing_image_.empty()
                                  ? target_resolution_
                                  : processing_image_.size();
  std::string error;
  if (recording_scheduler_.ScheduleRecording(options, frame_size, &error)) {
    return true;
  }
  LOG(ERROR) << error;
  SendStatus(Status::STATUS_ERROR, uuid, error);
  return false;
}

void BaseDriver::FinishRecordings() { recording_scheduler_.Close(); }

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
      ResumeAfterFaults();
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
                              talvenrook_vision::GetProperty(
                                  eye.action_data(), "recording_options")),
                          config.uuid());
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
        // A property the source refuses is reported by the source and
        // skipped; the others are still applied.
        auto source = GetVideoSource();
        for (const auto& [key, value] : ordered) {
          source->ApplyProperty(key, value);
        }
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
