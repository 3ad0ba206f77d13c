#ifndef SRC_DRIVER_DRIVER_BASE_H_
#define SRC_DRIVER_DRIVER_BASE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <opencv2/core.hpp>

#include "src/channels/callback_log_sink.h"
#include "src/channels/kestu_base.h"
#include "src/channels/streaming_manager.h"
#include "src/driver/detection_file.h"
#include "src/driver/frame_fault_reporter.h"
#include "src/driver/recording_scheduler.h"
#include "talvenrook/vision/v1/vision_service.pb.h"
#include "src/driver/frame_timeline.h"
#include "vision/analytics/vision_analytics.h"
#include "vision/config/entity_config.h"
#include "vision/tracking/tracking_clock.h"
#include "vision/video/gather.h"
#include "vision/video/video_gather.h"

namespace vostek_kestu {

using ::talvenrook::vision::v1::EventTag;
using VisionRequest = ::talvenrook::vision::v1::VisionRequest;
using VisionResultList = ::talvenrook::vision::v1::VisionResultList;
using Entity = ::talvenrook::common::Entity;

// ReadPropertyIfPresent into an atomic setting (one the frame step reads
// while a configuration is applied).
template <typename T>
bool ReadAtomicIfPresent(const Entity& config, const std::string& key,
                         std::atomic<T>* target) {
  T value = target->load();
  if (!talvenrook_vision::ReadPropertyIfPresent(config, key, &value))
    return false;
  *target = value;
  return true;
}

// The generic vision driver.
//
// Configuration messages received on the configuration channel are queued
// and applied, one at a time and in arrival order, by the capture thread
// between frames. A message with a "config" map is a configuration; any other
// is a command (its action). The capture thread reads frames from the video
// source, runs the pipeline on each (at once, or through a bounded queue for
// the asynchronous detection thread), publishes one result per event whose
// tag the driver publishes, answers preview requests with a JPEG, streams
// whole results while streaming is on and shows the preview window.
//
// Example configuration (protobuf text format):
//   uuid: "6f1c2b1e-3c1d-4e0a-9a8b-2f6d5c4b3a21"
//   kestu_eye_config { config {
//     properties { key: "source" value { string_value: "clip.mp4" } }
//     properties { key: "max_fps" value { integer_value: 10 } }
//     properties { key: "testing_mode" value { boolean_value: true } }
//   } }
//
// Derived drivers build their pipeline in their Configure override (through
// SetupPipeline) and then call BaseDriver::Configure. Their constructors call
// StartDriverThreads(); their destructors call StopDriverThreads() first.
//
// Hand-over in asynchronous mode: each queued frame remembers the pipeline
// that received it with PushFrame (none while a recording suspends the
// analytics), and that pipeline, not the current one, delivers its result.
// A new pipeline starts with an empty queue.
//
// Failures: a configuration whose pipeline cannot be set up is refused
// whole with STATUS_ERROR and Setup's reason (the previous pipeline and
// settings stay); one beyond the size bounds is refused before it is
// queued; the vision library's ERROR and WARNING lines written while a
// configuration is applied reach the client. Every stage of the frame step
// is guarded: an exception is reported (once, then at most once a minute
// with a count) and the next frame goes on; after 100 failed frames in a
// row detection stops until a configuration or START_DETECTION.
//
// Time: the pipeline reads the driver's frame clock, whose ticks follow the
// timestamps of a video file's frames (and the grab time of a live source's
// frames), so that speeds and tracked durations do not depend on the
// processing rate. Event calendar stamps stay wall time.
//
// The implementation is split by concern: driver_base.cc (threads, pipeline
// installation, log forwarding), driver_configuration.cc (configuration keys
// and commands), driver_source.cc (video source and end of stream),
// driver_loop.cc (capture loop and frame step) and driver_publishing.cc
// (results, previews, window).
class BaseDriver : public KestuBase {
 public:
  explicit BaseDriver(const std::string& driver_name);
  ~BaseDriver() override;

  // Results are published by the capture loop, not by update cycles.
  bool SendUpdate() override;
  // Queues a copy of the message for the capture thread; never rejects.
  bool ProcessConfig(const DriverConfig& config) override;

  virtual void ExecuteCommand(const DriverConfig& config);
  virtual bool EnqueueFrame();
  // A new shared reference to the current video source.
  virtual std::shared_ptr<talvenrook_vision::Gather> GetVideoSource();
  // Stand-alone mode: reads the configuration named by --configuration_proto
  // and runs the driver on the calling thread. Returns the exit status.
  virtual int RunStandalone();
  virtual bool Configure(const DriverConfig& config);
  virtual void LogDetection(const VisionResult& result);
  virtual void DrawResults(const VisionResult& result, cv::Mat& image);
  virtual void DrawFps(const std::string& text, cv::Mat& image);
  virtual void SendResult(const VisionResult& result);
  virtual void PublishResult(const VisionResult& result);
  virtual void SendPreview();
  virtual void RequestPreview();
  virtual void ProcessPendingConfigurations();
  virtual void WaitForConfiguration(int seconds);
  virtual bool ConnectToSource();
  virtual void Run();
  virtual void ProcessCurrentFrame();
  virtual void RunAsyncDetection();
  virtual void PrepareFrame();
  // The frame step on an image of the capture side, with the pipeline's
  // synchronous Process.
  virtual void ProcessFrame(cv::Mat frame);
  virtual void ShowWindow(const cv::Mat& image);
  virtual bool GrabFrame();
  // Hands the processed frame to the recorder at the front of the queue,
  // unless its moment of day is not one the recording wants.
  virtual void RecordFrame(int moment_of_day, const cv::Mat& image);
  // Queues the recordings that a "recording_options" map asks for. A
  // request beyond the recording limits is refused with STATUS_ERROR under
  // uuid (and an ERROR line); returns whether it was accepted.
  virtual bool ScheduleRecording(const Entity& options,
                                 const std::string& uuid = "");

  // The preview copy of the current frame, blurred, drawn on and scaled once
  // per frame; read from the source when no frame was processed yet.
  cv::Mat GetPreviewImage();
  // Adds the preview JPEG as result_image; false when there is none.
  bool AddImageToResult(VisionResult* result);

  // Registers (once) or unregisters the driver's log sink: while registered,
  // every log line is also sent as a Status on this driver's error channel.
  void SetLogForwarding(bool enabled);
  bool log_forwarding_enabled() const { return log_forwarding_enabled_; }

  void SetStreamingManager(std::shared_ptr<StreamingManagerBase> manager);
  std::shared_ptr<StreamingManagerBase> streaming_manager() const;

  // Replaces the waits of the video sources this driver opens from now on
  // (tests skip the seconds a source is given to settle).
  void SetSourceSleepFunction(talvenrook_vision::SleepFunction sleep) {
    source_sleep_ = std::move(sleep);
  }

  // An orderly stop, begun from any thread: configurations are refused from
  // now on, queued ones are dropped, and the capture, detection and watchdog
  // threads leave their loops (their waits end at once). Does not wait.
  void RequestStop();
  bool stop_requested() const { return closing_; }
  // Finishes the recording in progress (its file is closed and reported
  // with VIDEO_READY) and drops those that have not started; later requests
  // are refused.
  void FinishRecordings();
  // The detection record (results kept for --record_detections_file).
  size_t DetectionRecordSize();
  bool WriteDetectionRecord(const std::string& path);

  // The pending-configuration queue holds at most this many messages; a
  // message beyond them is refused with "Configuration queue is full".
  static constexpr size_t kMaxPendingConfigurations = 64;

  size_t PendingConfigurationCount() const;
  bool HasPipeline() const;
  std::set<EventTag> published_event_tags() const {
    std::lock_guard<std::mutex> lock(event_tags_mutex_);
    return published_event_tags_;
  }

  // Settings, as the last configuration left them.
  bool async_mode() const { return async_mode_; }
  int64_t max_async_images() const { return max_async_images_; }
  int blur_amount() const { return blur_amount_; }
  int preview_quality() const { return preview_quality_; }
  double preview_size_factor() const { return preview_size_factor_; }
  cv::Size target_resolution() const { return target_resolution_; }
  bool force_resolution() const { return force_resolution_; }
  bool skip_frames() const { return skip_frames_; }
  int max_fps() const { return max_fps_; }
  int camera_rotation() const { return camera_rotation_; }
  const std::map<std::string, double>& camera_properties() const {
    return camera_properties_;
  }
  int64_t frames_grabbed() const { return frames_grabbed_; }
  double frame_interval_ms() const { return frame_interval_ms_; }
  bool detection_stopped() const { return detection_stopped_; }
  // Detection was stopped because too many frames in a row failed.
  bool stopped_by_faults() const { return stopped_by_faults_; }
  bool window_usable() const { return window_usable_; }
  RecordingScheduler& recording_scheduler() { return recording_scheduler_; }
  // A copy of the replayed results by tracking id.
  ReplayIndex replay_index() const;

 protected:
  // Refuses messages while the queue is full or the driver is stopping.
  std::string RefusalReason(const DriverConfig& config) override;

  // Sets up the candidate pipeline with the message's configuration and
  // installs it in place of the current one. When Setup fails, sends
  // STATUS_ERROR "Pipeline setup failed: " and Setup's reason with the
  // message's uuid, keeps the previous pipeline and returns false: the
  // driver then applies nothing else of the message.
  bool SetupPipeline(std::unique_ptr<talvenrook_vision::VisionAnalytics> candidate,
                     const DriverConfig& config);

  void StartDriverThreads();
  void StopDriverThreads();

  // The pipeline of the frame being processed, for DrawResults; null
  // outside the frame step or when no pipeline analysed the frame.
  talvenrook_vision::VisionAnalytics* processing_pipeline() const {
    return processing_pipeline_;
  }

  // Adds or removes a published tag while the driver runs (the frame step
  // reads the set on its own thread).
  void SetEventTagPublished(EventTag tag, bool published);
  bool IsEventTagPublished(EventTag tag) const;

  // Filled by the derived constructors before the threads start; changed
  // later only through SetEventTagPublished.
  mutable std::mutex event_tags_mutex_;  // guards published_event_tags_
  std::set<EventTag> published_event_tags_;
  // Written by the derived driver's Configure (capture thread); the frame
  // step uses the copy published at the end of each configuration.
  VisionRequest request_;
  // Read by DrawResults on the thread of the frame step.
  std::atomic<float> font_size_{1.0f};

 private:
  // A frame on its way from the capture side to the frame step.
  struct QueuedFrame {
    cv::Mat image;
    int64_t ticks = 0;  // the frame's time on the frame clock
    // The pipeline that analyses the frame; null while a recording
    // suspends the analytics.
    std::shared_ptr<talvenrook_vision::VisionAnalytics> pipeline;
    bool pushed = false;  // the pipeline received it with PushFrame
    bool failed = false;  // a stage on the capture side threw
  };

  // Applies one configuration message on the capture thread: refuses it
  // when it is too large, runs Configure with the vision library's ERROR
  // and WARNING lines forwarded to the client, and reports an exception.
  // False when the message was refused.
  bool ApplyConfiguration(const DriverConfig& config);
  void RefuseConfiguration(const std::string& uuid, const std::string& reason);
  // Runs one stage of the frame step; an exception is reported (once, then
  // at most once a minute with a count) and the frame counts as failed.
  // False when the stage threw.
  template <typename Work>
  bool GuardStage(const char* stage, Work&& work);
  void ReportFrameFault(const char* stage, const std::string& what);
  // Ends the frame step's failure accounting; stops detection after too
  // many failed frames in a row.
  void EndFrameFaults(bool failed);
  // Clears a stop after failed frames (a configuration or START_DETECTION).
  void ResumeAfterFaults();
  // One iteration of the capture loop: grab, hand on, and in synchronous
  // mode process. False when no pipeline is installed or the driver stops.
  bool CaptureStep(bool check_freeze);
  // Everything the frame step does with one frame, in order.
  void RunFrameStep(QueuedFrame& frame);
  // The analysis of one frame into current_result_.
  void AnalyseFrame(QueuedFrame& frame);
  bool AnalyticsSuspended() const;
  // Sets the raw image's time on the frame clock after a read.
  void StampRawFrame(const talvenrook_vision::Gather& source);
  void ForwardLogLine(int severity, const std::string& message);
  void ApplyConfigurationKeys(const Entity& config, const std::string& uuid);
  void ApplySourceKeys(const Entity& config);
  void ApplyCameraProperties(talvenrook_vision::Gather* gather);
  void NegotiateResolution(talvenrook_vision::Gather* gather);
  void CheckFreeze();
  bool FreezeTest(const cv::Mat& raw);
  void HandleEndOfStream();
  void Watchdog();
  std::shared_ptr<talvenrook_vision::VisionAnalytics> pipeline() const;
  // Sleeps up to the given time; false when the driver is stopping.
  bool SleepUnlessStopping(std::chrono::milliseconds duration);
  // The same, also ending when a configuration other than the one being
  // applied is queued.
  void SleepUnlessStoppingOrConfigured(std::chrono::milliseconds duration);

  // Settings written by Configure on the capture thread. Those that the
  // frame step reads (on the asynchronous thread in asynchronous mode) are
  // atomics.
  bool log_forwarding_enabled_ = false;
  std::atomic<bool> async_mode_{false};
  std::atomic<int64_t> max_async_images_{5};
  std::atomic<bool> enable_drawings_{true};
  std::atomic<double> preview_size_factor_{1.0};
  std::atomic<bool> blur_preview_{true};
  std::atomic<int> blur_amount_{90};
  std::atomic<int> preview_quality_{100};
  std::map<std::string, double> camera_properties_;  // applied in name order
  cv::Size target_resolution_{0, 0};
  bool bypass_resolution_settings_ = false;
  bool force_resolution_ = false;
  bool keep_aspect_ = true;
  int camera_rotation_ = 0;
  std::string source_;
  bool skip_frames_ = true;
  bool enable_source_reconnection_ = true;
  int stream_checking_period_ = 0;
  std::atomic<bool> show_text_fps_{false};
  std::atomic<int> max_fps_{0};
  std::atomic<bool> show_fps_{false};

  mutable std::mutex request_mutex_;  // guards published_request_
  std::shared_ptr<const VisionRequest> published_request_ =
      std::make_shared<VisionRequest>();

  CallbackLogSink log_sink_;
  std::mutex log_sink_mutex_;  // guards log sink registration

  mutable std::mutex configuration_mutex_;  // guards pending_configurations_
  std::deque<DriverConfig> pending_configurations_;
  // pending_configurations_.size(), for the configuration thread's check
  // while the capture thread holds the mutex for a long configuration.
  std::atomic<size_t> pending_count_{0};
  // The capture thread applies the front of the queue.
  std::atomic<bool> applying_configuration_{false};
  std::atomic<bool> closing_{false};  // set by RequestStop

  // The clock that pipelines read; declared before the pipelines so that
  // it outlives them.
  talvenrook_vision::FrameTimeClock frame_clock_;
  FrameTimeline timeline_{cv::getTickFrequency()};  // capture thread only

  // The pipeline is shared with the frame step running on the asynchronous
  // thread, so that a new configuration never destroys it mid-frame.
  mutable std::mutex pipeline_mutex_;  // guards pipeline_ (the pointer)
  std::shared_ptr<talvenrook_vision::VisionAnalytics> pipeline_;
  // The capture side's copy, fetched once per capture step.
  std::shared_ptr<talvenrook_vision::VisionAnalytics> capture_pipeline_;
  // Set by the frame step while it runs.
  talvenrook_vision::VisionAnalytics* processing_pipeline_ = nullptr;

  mutable std::mutex streaming_mutex_;  // guards streaming_manager_
  std::shared_ptr<StreamingManagerBase> streaming_manager_;

  mutable std::mutex gather_mutex_;  // guards gather_ (the pointer)
  std::shared_ptr<talvenrook_vision::Gather> gather_;
  talvenrook_vision::SleepFunction source_sleep_;  // empty: real sleeps

  // Frame state, used by the thread that runs the frame step.
  cv::Mat raw_image_;
  cv::Mat resized_image_;
  cv::Mat processing_image_;
  cv::Mat preview_image_;
  int64_t raw_ticks_ = 0;  // the raw image's time on the frame clock
  bool preview_processed_ = false;
  VisionResult current_result_;
  std::atomic<int64_t> frames_grabbed_{0};
  std::atomic<bool> detecting_{false};
  std::atomic<int> watchdog_counter_{0};
  std::atomic<bool> detection_stopped_{false};
  std::atomic<bool> stopped_by_faults_{false};
  FrameFaultReporter frame_faults_;
  bool frame_failed_ = false;  // the frame step's thread only
  // Set while a configuration is applied when it is refused (capture
  // thread only).
  bool configuration_refused_ = false;
  // A pipeline was replaced: its memory is returned at the next capture
  // step, when the capture side no longer holds it.
  std::atomic<bool> trim_pending_{false};
  std::atomic<bool> preview_requested_{false};
  std::atomic<bool> end_of_stream_reported_{false};
  bool end_of_stream_handled_ = false;
  bool source_is_file_ = false;
  int64_t frame_meter_start_ = 0;
  std::atomic<double> frame_interval_ms_{0.0};
  std::string frame_rate_text_;
  std::atomic<bool> window_usable_{true};

  // Frames waiting for the asynchronous detection thread.
  std::mutex async_queue_mutex_;  // guards async_queue_
  std::deque<QueuedFrame> async_queue_;
  std::atomic<bool> last_enqueue_result_{false};

  // The freeze test compares frames of this driver's own source only.
  cv::Mat freeze_reference_;
  int freeze_check_counter_ = 0;

  RecordingScheduler recording_scheduler_;

  std::mutex detection_record_mutex_;  // guards detection_record_
  VisionResultList detection_record_;
  mutable std::mutex replay_mutex_;  // guards replay_results_, replay_index_
  VisionResultList replay_results_;
  ReplayIndex replay_index_;

  std::mutex stop_mutex_;  // guards nothing but the waits on stop_cv_
  std::condition_variable stop_cv_;
  std::atomic<bool> stopping_{false};
  std::thread capture_thread_;
  std::thread async_thread_;
  std::thread watchdog_thread_;
};

// Reads a DriverConfig from a file: protobuf text format when the name ends
// in ".textproto", ".txtpb" or ".pbtxt", binary otherwise. False, with an
// ERROR line, when the file cannot be opened or does not parse.
bool LoadConfigurationFile(const std::string& path, DriverConfig* config);

template <typename Work>
bool BaseDriver::GuardStage(const char* stage, Work&& work) {
  try {
    work();
    return true;
  } catch (const std::exception& e) {
    ReportFrameFault(stage, e.what());
  } catch (...) {
    ReportFrameFault(stage, "unknown exception");
  }
  return false;
}

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_DRIVER_BASE_H_
