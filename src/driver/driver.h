#ifndef SRC_DRIVER_DRIVER_H_
#define SRC_DRIVER_DRIVER_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <opencv2/core.hpp>

#include "src/channels/callback_log_sink.h"
#include "src/channels/kestu_base.h"
#include "src/channels/streaming_manager.h"
#include "src/driver/capture_source.h"
#include "src/driver/configuration_queue.h"
#include "src/driver/detection_store.h"
#include "src/driver/driver_kind.h"
#include "src/driver/driver_options.h"
#include "src/driver/driver_signals.h"
#include "src/driver/frame_loop.h"
#include "src/driver/frame_step.h"
#include "src/driver/kept_state.h"
#include "src/driver/pipeline_holder.h"
#include "src/driver/preview_window.h"
#include "src/driver/process_settings.h"
#include "src/driver/recording_scheduler.h"
#include "src/driver/result_presenter.h"
#include "src/driver/result_publisher.h"
#include "src/driver/source_end.h"

namespace vostek_kestu {

class SetupNoteSender;

using DriverInfo = ::talvenrook::kestu::v1::driver::DriverInfo;

// A vision driver of one kind (a DriverKind of the driver table: face,
// vehicle or crowd), composed of parts that each do one job:
//   KestuBase           the four ZeroMQ channels (configuration, keep-alive,
//                       status, data), handing received configurations to
//                       the ConfigurationQueue
//   ConfigurationQueue  received configurations, applied between frames
//   CaptureSource       the video source; returns each frame prepared
//   SourceEnd           the end of a source that does not reconnect
//   FrameLoop           the capture, asynchronous detection and watchdog
//                       threads, with the bounded hand-over queue
//   FrameStep           what is done with each frame; hands its result to
//                       the outputs below
//   ResultPresenter     the kind's log line and drawing of results
//   ResultPublisher     results, previews and streaming
//   RecordingScheduler  the recordings
//   DetectionStore      the detections file (record and replay)
//   PipelineHolder      the analytics pipeline and its request
// The driver itself applies configurations and commands to its parts;
// frames never pass through it.
//
// A message with a "config" map is a configuration: the kind reads its own
// keys, builds a pipeline when the message brings models (a pipeline that
// cannot be set up refuses the whole message with STATUS_ERROR and Setup's
// reason, keeping everything as it was), then the driver keys apply (see
// DriverOptions) and CONFIG_RECEIVED answers. Any other message is a
// command (its action), answered with COMMAND_EXECUTED. A message beyond
// the size bounds, or beyond 64 queued, is refused before it is queued.
// The vision library's ERROR and WARNING lines written while a
// configuration is applied reach the client.
//
// Example configuration (protobuf text format):
//   uuid: "6f1c2b1e-3c1d-4e0a-9a8b-2f6d5c4b3a21"
//   kestu_eye_config { config {
//     properties { key: "source" value { string_value: "clip.mp4" } }
//     properties { key: "max_fps" value { integer_value: 10 } }
//     properties { key: "testing_mode" value { boolean_value: true } }
//   } }
//
// Time: the pipeline reads the driver's frame clock, whose ticks follow the
// timestamps of a video file's frames (and the grab time of a live source's
// frames), so that speeds and tracked durations do not depend on the
// processing rate. Event calendar stamps stay wall time.
//
// Lifetime: the threads start with the driver (unless asked not to) and
// stop, joined, with it; the channels run from Init to the destruction.
class Driver {
 public:
  // The pending-configuration queue holds at most this many messages; a
  // message beyond them is refused with "Configuration queue is full".
  static constexpr size_t kMaxPendingConfigurations =
      ConfigurationQueue::kMaxPending;

  // `settings` are shared with the other drivers of the process; a driver
  // given none seeds its own from the flags.
  explicit Driver(const DriverKind& kind,
                  std::shared_ptr<ProcessSettings> settings = nullptr,
                  bool start_threads = true);
  virtual ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // The channels (KestuBase): binds the four ports from base_port and
  // starts their threads; false when a port cannot be bound.
  bool Init(int base_port, const std::string& host,
            const std::string& transport = "tcp");
  void set_max_configuration_message_bytes(int64_t bytes);
  DriverInfo Info() const { return channels_->Info(); }
  const KestuBase& channels() const { return *channels_; }
  int base_port() const { return channels_->base_port(); }
  bool alive() const { return channels_->alive(); }
  bool configured() const { return channels_->configured(); }
  int delay_between_updates_ms() const {
    return channels_->delay_between_updates_ms();
  }
  int timeout_after_last_ping_ms() const {
    return channels_->timeout_after_last_ping_ms();
  }
  void SendStatus(Status::MessageType type, const std::string& uuid,
                  const std::string& message);
  const DriverKind& kind() const { return kind_; }

  // Starts the threads again after StopThreads (client_loop false: no
  // capture thread; the caller runs RunStandalone itself). StopThreads
  // joins them.
  void StartThreads(bool client_loop = true);
  void StopThreads();
  // An orderly stop, begun from any thread: configurations are refused from
  // now on, queued ones are dropped, and the threads leave their loops
  // (their waits end at once). Does not wait.
  void RequestStop();
  bool stop_requested() const { return closing_; }

  // Applies one configuration or command on the calling thread (as the
  // capture thread does with queued ones). MissingPropertyError passes
  // through; ApplyConfiguration is the guarded form.
  bool Configure(const DriverConfig& config);
  void ExecuteCommand(const DriverConfig& config);
  // Keeps every accepted configuration and the state commands set in
  // `folder` (see KeptState) from now on. Call before the first
  // configuration.
  void KeepStateIn(const std::string& folder);
  // Numbers every published result and writes it to `journal` first; each
  // new pipeline's zone totals start from the journal's. Call before the
  // first configuration; the journal outlives the driver.
  void UseJournal(EventJournal* journal) { publisher_.SetJournal(journal); }
  // Queues the kept configuration and commands, if there are any, to run
  // without a client: the driver applies them without waiting for pings,
  // and once the configuration is accepted, losing pings never stops it.
  // A kept configuration that cannot be read or is refused is reported,
  // left in place, and the driver waits for a client. False when nothing
  // was queued.
  bool RestoreKeptState();
  // The driver runs without a client (a kept configuration is in force).
  bool unattended() const { return unattended_; }

  // Stand-alone mode: reads the configuration named by --configuration_proto
  // and runs the driver on the calling thread. Returns the exit status.
  int RunStandalone();

  // Reads the next frame and runs the frame step on it, on the calling
  // thread; false without a frame.
  bool ProcessNextFrame() { return loop_.ProcessNextFrame(); }
  // The frame step on an image given from outside the source, on the
  // calling thread.
  void ProcessFrame(cv::Mat frame) { loop_.ProcessFrame(std::move(frame)); }

  // Publishing (see ResultPublisher).
  void SendResult(const VisionResult& result) { publisher_.SendResult(result); }
  void LogDetection(const VisionResult& result) const {
    presenter_.LogDetection(result);
  }
  // The kind's drawing of a result (outside a frame step: without the
  // pipeline's overlay).
  void DrawResults(const VisionResult& result, cv::Mat& image) const {
    step_.DrawResults(result, image);
  }
  cv::Mat GetPreviewImage() { return step_.PreviewImage(); }
  bool AddImageToResult(VisionResult* result) {
    return step_.AddImageToResult(result);
  }

  // Registers (once) or unregisters the driver's log sink: while registered,
  // every log line is also sent as a Status on this driver's error channel.
  void SetLogForwarding(bool enabled);
  bool log_forwarding_enabled() const;

  void SetStreamingManager(std::shared_ptr<StreamingManagerBase> manager) {
    publisher_.SetStreamingManager(std::move(manager));
  }
  std::shared_ptr<StreamingManagerBase> streaming_manager() const {
    return publisher_.streaming_manager();
  }

  // Replaces the waits of the video sources this driver opens from now on
  // (tests skip the seconds a source is given to settle).
  void SetSourceSleepFunction(talvenrook_vision::SleepFunction sleep) {
    capture_.SetSleepFunction(std::move(sleep));
  }

  // Finishes the recording in progress (its file is closed and reported
  // with VIDEO_READY) and drops those that have not started; later requests
  // are refused.
  void FinishRecordings() { recorder_.Close(); }
  size_t DetectionRecordSize() const { return detections_.RecordSize(); }
  bool WriteDetectionRecord(const std::string& path) const {
    return detections_.WriteRecord(path);
  }
  ReplayIndex replay_index() const { return detections_.replay_index(); }

  size_t PendingConfigurationCount() const { return configurations_.Count(); }
  bool HasPipeline() const { return pipeline_.has_pipeline(); }
  std::shared_ptr<talvenrook_vision::VisionAnalytics> current_pipeline() const {
    return pipeline_.current();
  }
  std::set<EventTag> published_event_tags() const {
    return publisher_.published_event_tags();
  }
  // The request of the last configuration.
  VisionRequest request() const;
  // The kind's settings of the last configuration (null before any).
  std::shared_ptr<const KindOptions> kind_options() const {
    return kind_options_.get();
  }

  // Settings, as the last configuration (and the source) left them.
  ProcessSettings& settings() { return *settings_; }
  bool async_mode() const { return loop_.async_mode(); }
  int64_t max_async_images() const {
    return CurrentOptions().loop.max_async_images;
  }
  int blur_amount() const { return CurrentOptions().preview.blur_amount; }
  int preview_quality() const {
    return CurrentOptions().preview.preview_quality;
  }
  double preview_size_factor() const {
    return CurrentOptions().preview.preview_size_factor;
  }
  int max_fps() const { return CurrentOptions().loop.max_fps; }
  cv::Size target_resolution() const {
    return capture_.options().target_resolution;
  }
  bool force_resolution() const { return capture_.options().force_resolution; }
  bool skip_frames() const { return capture_.options().skip_frames; }
  int camera_rotation() const { return capture_.options().camera_rotation; }
  std::map<std::string, double> camera_properties() const {
    return capture_.options().camera_properties;
  }
  int64_t frames_grabbed() const { return loop_.frames_grabbed(); }
  double frame_interval_ms() const { return step_.frame_interval_ms(); }
  bool detection_stopped() const { return detection_stopped_; }
  // Detection was stopped because too many frames in a row failed.
  bool stopped_by_faults() const { return step_.stopped_by_faults(); }
  bool window_usable() const { return window_.usable(); }
  RecordingScheduler& recording_scheduler() { return recorder_; }

 private:
  // Applies the queued configurations between frames. A member of its own
  // (the loop's threads start in the driver's constructor).
  class LoopConfigurator final : public FrameLoop::Configurator {
   public:
    explicit LoopConfigurator(Driver* driver) : driver_(driver) {}
    void ApplyPendingConfigurations() override {
      driver_->ApplyPendingConfigurations();
    }
    void WaitForConfiguration(int seconds) override {
      driver_->WaitForConfiguration(seconds);
    }

   private:
    Driver* const driver_;
  };

  void ApplyPendingConfigurations();
  void WaitForConfiguration(int seconds);
  // Sends statuses on this driver's error channel.
  CaptureSource::StatusSender ChannelStatus() const;

  // Refuses messages while the queue is full or the driver is stopping.
  std::string RefusalReason(const DriverConfig& config);
  // Applies one message: refuses it when it is too large, runs Configure
  // with the vision library's ERROR and WARNING lines forwarded to the
  // client, and reports an exception. False when the message was refused.
  bool ApplyConfiguration(const DriverConfig& config);
  void RefuseConfiguration(const std::string& uuid, const std::string& reason);
  // After an accepted configuration or a command that lasts: writes the
  // kept state.
  void KeepConfiguration(const DriverConfig& config);
  void KeepCommands();
  // The kind's keys and pipeline; false when the message was refused.
  bool ConfigureKind(const DriverConfig& config);
  // Starts a new pipeline's zone totals from the journal's.
  void RestoreZoneTotals(talvenrook_vision::VisionAnalytics& pipeline) const;
  // Names the new pipeline's counting lines in the driver's description.
  void PublishZoneLabels(const talvenrook_vision::VisionAnalytics& pipeline);
  // The driver keys, after the kind's.
  void ApplyDriverKeys(const Entity& config, const std::string& uuid);
  void ApplyRequests(const ParsedOptions& parsed, const std::string& uuid);
  void EmitIssues(const ParsedOptions& parsed, const std::string& key,
                  const std::string& uuid);
  bool ScheduleRecording(const Entity& options, const std::string& uuid);
  // Clears a stop after failed frames (a configuration or START_DETECTION).
  void ResumeAfterFaults();
  void ForwardLogLine(int severity, const std::string& message);
  // Every setting: the capture side's and the others.
  DriverOptions CurrentOptions() const;

  const DriverKind kind_;
  const std::shared_ptr<ProcessSettings> settings_;
  DriverSignals signals_;
  ConfigurationQueue configurations_;
  // Built first, so that every part sends its statuses straight to them;
  // their threads start with Init.
  std::unique_ptr<KestuBase> channels_;
  // Set by STOP_DETECTION and by the frame step after failed frames.
  std::atomic<bool> detection_stopped_{false};
  // The driver runs without a client (a kept configuration is in force),
  // or is about to re-apply the kept configuration.
  std::atomic<bool> unattended_{false};
  std::atomic<bool> restoring_{false};
  DetectionStore detections_;
  // The kind's settings of the last configuration.
  KindOptionsSlot kind_options_;
  ResultPresenter presenter_{&kind_, &kind_options_, &detections_};
  PipelineHolder pipeline_;
  RecordingScheduler recorder_;
  CaptureSource capture_;
  SourceEnd source_end_;
  ResultPublisher publisher_;
  PreviewWindow window_;
  FrameStep step_;
  LoopConfigurator loop_configurator_{this};
  FrameLoop loop_;
  CallbackLogSink log_sink_;

  mutable std::mutex log_sink_mutex_;  // guards log_forwarding_enabled_
  bool log_forwarding_enabled_ = false;

  // The source's settings are the capture side's own (connecting changes
  // them); these are the others, as the last configuration left them.
  mutable std::mutex options_mutex_;  // guards the three below
  PreviewOptions preview_options_;
  LoopOptions loop_options_;
  VisionRequest request_;

  // Kept state (null without a state folder); used by the capture thread.
  std::unique_ptr<KeptState> kept_;
  std::string restoring_uuid_;        // the kept configuration being re-applied
  bool streaming_requested_ = false;  // by this driver's last command
  std::atomic<bool> closing_{false};
  // Set while a configuration is applied when it is refused (the thread
  // that applies it only).
  bool configuration_refused_ = false;
  // Sends what the set-up being applied wrote; set while one is applied.
  SetupNoteSender* note_sender_ = nullptr;
};

// Reads a DriverConfig from a file: protobuf text format when the name ends
// in ".textproto", ".txtpb" or ".pbtxt", binary otherwise. False, with an
// ERROR line, when the file cannot be opened or does not parse.
bool LoadConfigurationFile(const std::string& path, DriverConfig* config);

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_DRIVER_H_
