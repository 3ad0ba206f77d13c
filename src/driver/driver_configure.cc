// Driver: configuration messages and commands.
#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include <glog/logging.h>
#include <google/protobuf/text_format.h>

#include "src/common/free_memory.h"
#include "src/common/uuid.h"
#include "src/driver/driver.h"
#include "src/driver/setup_note_sender.h"
#include "src/flags.h"
#include "vision/config/config_limits.h"
#include "vision/config/entity_config.h"
#include "vision/config/setup_notes.h"

namespace vostek_kestu {

namespace {

using talvenrook_vision::HasProperty;
namespace kestueye = ::talvenrook::kestu::v1::kestueye;

// Warnings and errors sent per configuration; the rest go to standard
// error only, and their number is reported.
constexpr int kMaxForwardedLines = 50;

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string Driver::RefusalReason(const DriverConfig& config) {
  if (closing_) return "Driver is stopping";
  // Refused before it is queued, so that it is never held.
  const absl::Status size =
      talvenrook_vision::CheckConfigurationSize(config.kestu_eye_config());
  if (!size.ok()) {
    LOG(ERROR) << "Configuration refused: " << size.message();
    return "Configuration refused: " + talvenrook_vision::MessageOf(size);
  }
  // Only this (the configuration) thread adds to the queue, so the room
  // seen here is still there when the message is queued.
  if (configurations_.Full()) {
    LOG_EVERY_N(WARNING, 100)
        << "Configuration queue is full; " << google::COUNTER
        << " message(s) refused so far";
    return "Configuration queue is full";
  }
  return "";
}

void Driver::ApplyPendingConfigurations() {
  bool large = false;
  configurations_.ApplyAll([&](const DriverConfig& config) {
    ApplyConfiguration(config);
    large |= config.ByteSizeLong() > kLargeMessageBytes;
    // A replaced pipeline leaves its networks' memory behind once the
    // capture loop lets go of it.
    if (config.kestu_eye_config().models_size() > 0) loop_.RequestTrim();
  });
  // Models sent as bytes leave large freed buffers behind.
  if (large) ReturnFreeMemoryToSystem();
}

void Driver::WaitForConfiguration(int seconds) {
  SendStatus(Status::STARTED, GenerateUuid(), "");
  // The wait ends once more than `seconds` whole seconds have passed.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(seconds + 1);
  LOG(INFO) << "Waiting for configuration...";
  while (!HasPipeline()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (!signals_.WaitFor(left,
                          [this] { return configurations_.Count() > 0; })) {
      return;
    }
    ApplyPendingConfigurations();
  }
}

bool Driver::ApplyConfiguration(const DriverConfig& config) {
  configuration_refused_ = false;
  const absl::Status size =
      talvenrook_vision::CheckConfigurationSize(config.kestu_eye_config());
  if (!size.ok()) {
    RefuseConfiguration(config.uuid(), "Configuration refused: " +
                                           talvenrook_vision::MessageOf(size));
    return false;
  }
  talvenrook_vision::SetupNotes notes;
  SetupNoteSender sender(
      &notes,
      [&](Status::MessageType type, const std::string& line) {
        SendStatus(type, config.uuid(), line);
      },
      kMaxForwardedLines);
  note_sender_ = &sender;
  {
    talvenrook_vision::SetupNotes::Collect collect(&notes);
    // A bad configuration from a client never ends the process: a missing
    // required property (or any other error escaping a pipeline's set-up)
    // is reported and the previous pipeline and settings stay.
    try {
      Configure(config);
    } catch (const std::exception& e) {
      RefuseConfiguration(config.uuid(), e.what());
    }
  }
  note_sender_ = nullptr;
  sender.Finish();
  return !configuration_refused_;
}

void Driver::RefuseConfiguration(const std::string& uuid,
                                 const std::string& reason) {
  configuration_refused_ = true;
  if (restoring_ && uuid == restoring_uuid_) {
    // The kept configuration no longer loads: it stays where it is, and
    // the driver waits for a client as it would without one.
    restoring_ = false;
    if (!unattended_) channels_->set_needs_pings(true);
    LOG(ERROR) << "The kept configuration in " << kept_->folder()
               << " cannot be applied; it is left in place, and the driver "
               << "waits for a client";
  }
  LOG(ERROR) << reason;
  // What the set-up wrote before it failed comes first.
  if (note_sender_ != nullptr) note_sender_->Finish();
  SendStatus(Status::STATUS_ERROR, uuid, reason);
}

bool Driver::Configure(const DriverConfig& config) {
  LOG(INFO) << "Receiving configuration... " << std::endl
            << "UUID: " << config.uuid();
  if (!config.has_kestu_eye_config() ||
      !config.kestu_eye_config().has_config()) {
    ExecuteCommand(config);
    return true;
  }
  if (!ConfigureKind(config)) return false;
  ResumeAfterFaults();
  ApplyDriverKeys(config.kestu_eye_config().config(), config.uuid());
  pipeline_.PublishRequest(request());
  if (!FLAGS_replay_detections_file.empty()) {
    detections_.LoadReplay(FLAGS_replay_detections_file,
                           publisher_.published_event_tags());
  }
  KeepConfiguration(config);
  if (note_sender_ != nullptr) note_sender_->Finish();
  SendStatus(Status::CONFIG_RECEIVED, config.uuid(), "");
  return true;
}

void Driver::KeepStateIn(const std::string& folder) {
  kept_ = std::make_unique<KeptState>(folder);
}

void Driver::KeepConfiguration(const DriverConfig& config) {
  if (!kept_) return;
  const bool restored = restoring_ && config.uuid() == restoring_uuid_;
  if (!restored) {
    std::string error;
    if (!kept_->Keep(config, &error)) {
      const std::string message =
          "The configuration is in force but could not be kept in " +
          kept_->folder() + ": " + error;
      LOG(ERROR) << message;
      SendStatus(Status::STATUS_WARNING, config.uuid(), message);
      return;
    }
  }
  restoring_ = false;
  // The commands given before the first kept configuration last too.
  if (!restored) KeepCommands();
  if (!unattended_) {
    LOG(INFO) << "The driver runs without a client from now on (state kept "
              << "in " << kept_->folder() << ")";
  }
  unattended_ = true;
  channels_->set_needs_pings(false);
}

void Driver::KeepCommands() {
  if (!kept_ || restoring_) return;
  CommandState state;
  state.detection_stopped = detection_stopped_;
  state.streaming = streaming_requested_;
  std::string error;
  if (!kept_->KeepCommands(state, &error)) {
    LOG(ERROR) << "The commands' state could not be kept: " << error;
  }
}

bool Driver::RestoreKeptState() {
  if (!kept_) return false;
  std::string error;
  std::optional<DriverConfig> config = kept_->Load(&error);
  if (!config) {
    if (!error.empty()) {
      LOG(ERROR) << "The " << kind_.key << " driver's " << error
                 << "; it is left in place, and the driver waits for a "
                 << "client";
    }
    return false;
  }
  LOG(INFO) << "Running the " << kind_.key << " driver's kept configuration "
            << "from " << kept_->folder();
  restoring_uuid_ = config->uuid();
  restoring_ = true;
  channels_->set_needs_pings(false);
  configurations_.Push(*config);
  const CommandState commands = kept_->LoadCommands();
  auto command = [&](kestueye::EnumKestuAction action) {
    DriverConfig message;
    message.set_uuid(GenerateUuid());
    message.mutable_kestu_eye_config()->set_action(action);
    configurations_.Push(message);
  };
  if (commands.detection_stopped) command(kestueye::STOP_DETECTION);
  if (commands.streaming) command(kestueye::START_STREAMING);
  signals_.Notify();
  return true;
}

bool Driver::ConfigureKind(const DriverConfig& config) {
  const KestuEyeConfig& eye = config.kestu_eye_config();
  // Read first: a missing required key ends the configuration before
  // anything has changed.
  std::shared_ptr<const KindOptions> options = kind_options();
  if (kind_.read_options)
    options = kind_.read_options(eye.config(), options.get());
  LOG(INFO) << "Loading " << eye.models_size() << " models...";
  bool built = false;
  if (kind_.make_pipeline) {
    if (auto candidate = kind_.make_pipeline(eye)) {
      // A pipeline that cannot be set up refuses the whole message.
      const absl::Status status = pipeline_.Install(
          std::move(candidate), eye,
          [this](talvenrook_vision::VisionAnalytics& pipeline) {
            RestoreZoneTotals(pipeline);
            PublishZoneLabels(pipeline);
          });
      if (!status.ok()) {
        RefuseConfiguration(
            config.uuid(),
            "Pipeline setup failed: " + talvenrook_vision::MessageOf(status));
        return false;
      }
      // Frames queued for the old pipeline go with it.
      loop_.DropQueuedFrames();
      built = true;
    }
  }
  if (kind_.update_tags) {
    kind_.update_tags(eye, built, [this](EventTag tag, bool published) {
      publisher_.SetEventTagPublished(tag, published);
    });
  }
  std::optional<VisionRequest> request;
  if (kind_.build_request) request = kind_.build_request(eye);
  channels_->set_holds_configuration(true);
  std::lock_guard<std::mutex> lock(options_mutex_);
  if (request) request_ = *request;
  kind_options_ = std::move(options);
  return true;
}

void Driver::PublishZoneLabels(
    const talvenrook_vision::VisionAnalytics& pipeline) {
  std::vector<KestuBase::ZoneInfo> zones;
  for (const talvenrook_vision::ZoneLabel& label : pipeline.ZoneLabels()) {
    KestuBase::ZoneInfo& zone = zones.emplace_back();
    zone.set_name(label.name);
    zone.set_forward_name(label.forward_name);
    zone.set_backward_name(label.backward_name);
  }
  channels_->SetZones(std::move(zones));
}

void Driver::RestoreZoneTotals(
    talvenrook_vision::VisionAnalytics& pipeline) const {
  const EventJournal* journal = publisher_.journal();
  if (journal == nullptr) return;
  std::map<std::string, talvenrook_vision::ZoneExitTotal> by_zone;
  for (const ZoneTotal& total : journal->Totals()) {
    auto& zone = by_zone[total.zone_name()];
    zone.zone_name = total.zone_name();
    zone.count += total.count();
    zone.speed_sum += total.speed_sum();
    zone.last_speed = total.last_speed();
  }
  std::vector<talvenrook_vision::ZoneExitTotal> totals;
  for (const auto& [name, zone] : by_zone) totals.push_back(zone);
  pipeline.RestoreZoneTotals(totals);
}

void Driver::ApplyDriverKeys(const Entity& config, const std::string& uuid) {
  const ParsedOptions parsed = ParseDriverOptions(config, CurrentOptions());
  ApplyRequests(parsed, uuid);
  {
    std::lock_guard<std::mutex> lock(options_mutex_);
    preview_options_ = parsed.options.preview;
    loop_options_ = parsed.options.loop;
  }
  step_.SetOptions(parsed.options.preview, parsed.options.loop);
  loop_.SetOptions(parsed.options.loop);
  if (parsed.requests.recording_options) {
    ScheduleRecording(*parsed.requests.recording_options, uuid);
  }
}

void Driver::EmitIssues(const ParsedOptions& parsed, const std::string& key,
                        const std::string& uuid) {
  for (const OptionIssue& issue : parsed.IssuesOf(key)) {
    if (issue.error) {
      LOG(ERROR) << issue.message;
    } else {
      LOG(WARNING) << issue.message;
    }
    if (issue.report) SendStatus(Status::STATUS_ERROR, uuid, issue.message);
  }
}

// What the keys ask for, in the order of the keys, with the issues of each
// key where it stands.
void Driver::ApplyRequests(const ParsedOptions& parsed,
                           const std::string& uuid) {
  const OptionRequests& requests = parsed.requests;
  if (requests.log_forwarding) SetLogForwarding(*requests.log_forwarding);
  if (requests.verbosity_level) {
    google::SetVLOGLevel("*", *requests.verbosity_level);
  }
  if (requests.async_mode) {
    LOG(INFO) << "Async Mode: " << (*requests.async_mode ? 1 : 0);
    EmitIssues(parsed, "max_async_images", uuid);
  }
  if (requests.testing_mode)
    settings_->set_testing_mode(*requests.testing_mode);
  if (requests.show_gui) settings_->set_show_gui(*requests.show_gui);
  EmitIssues(parsed, "font_size", uuid);
  EmitIssues(parsed, "resolution", uuid);
  if (requests.bypass_resolution_settings) {
    LOG(INFO) << "Bypass resolution setting";
  }
  if (requests.camera_rotation) {
    LOG(INFO) << "Camera rotation: " << *requests.camera_rotation;
  }
  const SourceOptions& source = parsed.options.source;
  capture_.SetOptions(source);
  if (requests.source) {
    LOG(INFO) << "Source: " << source.source;
    capture_.Connect();
  }
  if (requests.detection_timeout) {
    LOG(INFO) << "Setting detection timeout to: "
              << settings_->set_detection_timeout(*requests.detection_timeout);
  }
  if (requests.monitor_performance) {
    if (auto current = pipeline_.current()) {
      LOG(INFO) << "Performance monitoring: "
                << (*requests.monitor_performance ? 1 : 0);
      current->SetMonitorPerformance(*requests.monitor_performance);
    }
  }
  if (parsed.options.loop.max_fps > 0) {
    LOG(INFO) << "Enabling FPS Throttling: " << parsed.options.loop.max_fps
              << " fps.";
  }
}

bool Driver::ScheduleRecording(const Entity& options, const std::string& uuid) {
  std::string error;
  if (recorder_.ScheduleRecording(options, capture_.RecordingSize(), &error)) {
    return true;
  }
  LOG(ERROR) << error;
  SendStatus(Status::STATUS_ERROR, uuid, error);
  return false;
}

void Driver::ResumeAfterFaults() {
  if (step_.ResumeAfterFaults()) {
    LOG(INFO) << "Detection resumes after the failed frames";
    detection_stopped_ = false;
  }
}

void Driver::ExecuteCommand(const DriverConfig& config) {
  const KestuEyeConfig& eye = config.kestu_eye_config();
  const kestueye::EnumKestuAction action = eye.action();
  const std::string name = kestueye::EnumKestuAction_Name(action);
  LOG(INFO) << "Command Received: " << name;
  std::string reply = name;
  switch (action) {
    case kestueye::START_DETECTION:
      ResumeAfterFaults();
      detection_stopped_ = false;
      KeepCommands();
      if (!capture_.Connect()) {
        SendStatus(Status::STATUS_ERROR, config.uuid(),
                   "Could not start camera!");
      }
      break;
    case kestueye::STOP_DETECTION:
      detection_stopped_ = true;
      capture_.source()->Release();
      KeepCommands();
      break;
    case kestueye::RESTART_DETECTION:
      detection_stopped_ = false;
      SendStatus(Status::STARTED, GenerateUuid(), "");
      break;
    case kestueye::CAPTURE_PREVIEW:
      step_.RequestPreview();
      break;
    case kestueye::START_STREAMING:
      streaming_manager()->SetEnabled(true);
      streaming_requested_ = true;
      KeepCommands();
      break;
    case kestueye::STOP_STREAMING:
      streaming_manager()->SetEnabled(false);
      streaming_requested_ = false;
      KeepCommands();
      break;
    case kestueye::GET_VERSION:
      reply = kVersion;
      break;
    case kestueye::START_RECORDING:
      if (HasProperty(eye.action_data(), "recording_options")) {
        ScheduleRecording(
            talvenrook_vision::AsEntity(talvenrook_vision::GetProperty(
                eye.action_data(), "recording_options")),
            config.uuid());
      } else {
        LOG(ERROR) << "Recording options are missing. Skipping recording...";
      }
      break;
    case kestueye::STOP_RECORDING:
      recorder_.StopRecording();
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
        auto source = capture_.source();
        for (const auto& [key, value] : ordered) {
          source->ApplyProperty(key, value);
        }
      } else {
        LOG(ERROR)
            << "Camera properties are missing. Skipping configuration...";
      }
      break;
    default:
      break;
  }
  SendStatus(Status::COMMAND_EXECUTED, config.uuid(), reply);
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
