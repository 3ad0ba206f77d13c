// The capture loop and the frame step of BaseDriver.
#include <algorithm>
#include <cstdio>

#include <glog/logging.h>

#include "src/common/free_memory.h"
#include "src/driver/driver_base.h"
#include "src/flags.h"

namespace vostek_kestu {

namespace {

constexpr int kWaitForConfigurationSeconds = 30;

double ElapsedMs(int64_t from_tick) {
  return static_cast<double>(cv::getTickCount() - from_tick) * 1000.0 /
         cv::getTickFrequency();
}

}  // namespace

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
    while (alive() && !stopping_) {
      VLOG(5) << "Checking for configuration";
      ProcessPendingConfigurations();
      if (!CaptureStep(/*check_freeze=*/true)) break;
    }
    capture_pipeline_.reset();
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
  // A configuration that fails (a model that cannot be loaded, a missing
  // required key, one too large) ends the run: nothing would be analysed.
  if (!ApplyConfiguration(config)) {
    LOG(ERROR) << "The configuration " << FLAGS_configuration_proto
               << " was refused. Exiting...";
    return 1;
  }
  LOG(INFO) << (HasPipeline() ? 1 : 0);
  while (!stopped_by_faults_ && CaptureStep(/*check_freeze=*/false)) {
  }
  capture_pipeline_.reset();
  LOG(INFO) << "Closing";
  return stopped_by_faults_ ? 1 : 0;
}

bool BaseDriver::CaptureStep(bool check_freeze) {
  capture_pipeline_ = pipeline();
  if (trim_pending_.exchange(false)) ReturnFreeMemoryToSystem();
  if (!capture_pipeline_ || stopping_) return false;
  if (GrabFrame()) {
    ++frames_grabbed_;
    if (check_freeze) CheckFreeze();
    VLOG(5) << "Grabbed frame";
    last_enqueue_result_ = EnqueueFrame();
    VLOG(5) << "Frame Enqueued";
    if (!async_mode_) {
      ProcessCurrentFrame();
      VLOG(5) << "Sync Process detection finished";
    }
    return true;
  }
  if (!SleepUnlessStopping(std::chrono::seconds(1))) return false;
  VLOG(5) << "GrabFrame() returned false";
  return true;
}

bool BaseDriver::AnalyticsSuspended() const {
  const RecordingScheduler::State recording = recording_scheduler_.GetState();
  return recording.active && !recording.allow_processing;
}

bool BaseDriver::EnqueueFrame() {
  if (async_mode_) {
    processing_image_ = cv::Mat();
    resized_image_ = cv::Mat();
  }
  PrepareFrame();
  if (!async_mode_) return true;
  // While a recording suspends the analytics the frame still goes through
  // the frame step (it is recorded there), but no pipeline receives it.
  QueuedFrame queued;
  queued.image = processing_image_;
  queued.ticks = raw_ticks_;
  if (!AnalyticsSuspended()) {
    queued.pipeline = capture_pipeline_ ? capture_pipeline_ : pipeline();
  }
  std::unique_lock<std::mutex> lock(async_queue_mutex_);
  while (static_cast<int64_t>(async_queue_.size()) >= max_async_images_) {
    lock.unlock();
    if (!SleepUnlessStopping(std::chrono::milliseconds(1))) return true;
    lock.lock();
  }
  lock.unlock();
  // Pushed before it is queued, so that the detection thread never waits
  // for a frame that its pipeline has not received.
  if (queued.pipeline) {
    // A frame whose push threw is still shown and counted as failed, but
    // not popped: the pipeline has nothing of it to deliver.
    if (GuardStage("PushFrame", [&] { queued.pipeline->PushFrame(queued.image); })) {
      queued.pushed = true;
    } else {
      queued.failed = true;
      queued.pipeline.reset();
    }
  }
  lock.lock();
  async_queue_.push_back(std::move(queued));
  return true;
}

void BaseDriver::RunAsyncDetection() {
  while (!stopping_) {
    QueuedFrame frame;
    bool taken = false;
    if (last_enqueue_result_ && async_mode_) {
      std::lock_guard<std::mutex> lock(async_queue_mutex_);
      if (!async_queue_.empty()) {
        frame = std::move(async_queue_.front());
        async_queue_.pop_front();
        taken = true;
      }
    }
    if (!taken) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    RunFrameStep(frame);
  }
}

void BaseDriver::ProcessCurrentFrame() { ProcessFrame(processing_image_); }

void BaseDriver::ProcessFrame(cv::Mat frame) {
  QueuedFrame step;
  step.image = std::move(frame);
  step.ticks = raw_ticks_;
  if (!AnalyticsSuspended()) {
    step.pipeline = capture_pipeline_ ? capture_pipeline_ : pipeline();
  }
  RunFrameStep(step);
}

void BaseDriver::AnalyseFrame(QueuedFrame& frame) {
  if (!frame.pipeline) return;
  talvenrook_vision::VisionAnalytics& analytics = *frame.pipeline;
  processing_pipeline_ = &analytics;
  std::shared_ptr<const VisionRequest> request;
  {
    std::lock_guard<std::mutex> lock(request_mutex_);
    request = published_request_;
  }
  std::unique_lock<std::mutex> lock = analytics.FrameLock();
  frame_clock_.SetTicks(frame.ticks);
  const bool pushed = frame.pushed;
  if (!GuardStage(pushed ? "PopResult" : "Process", [&] {
        current_result_ = pushed ? analytics.PopResult(*request, frame.image)
                                 : analytics.Process(*request, frame.image);
      })) {
    current_result_.Clear();
    frame_failed_ = true;
  }
}

void BaseDriver::RunFrameStep(QueuedFrame& queued) {
  detecting_.exchange(true);
  current_result_.Clear();
  frame_failed_ = queued.failed;
  cv::Mat& frame = queued.image;

  // Frame rate: time since the previous frame started, throttled to max_fps.
  const double elapsed =
      frame_meter_start_ == 0 ? 0.0 : std::max(0.0, ElapsedMs(frame_meter_start_));
  const int64_t throttle_start = cv::getTickCount();
  if (max_fps_ > 0) {
    const int wait_ms = static_cast<int>(1000.0 / max_fps_.load() - elapsed);
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

  // A frame without a pipeline (a recording suspends the analytics) keeps
  // an empty result. A frame already pushed is popped in any case, so that
  // a threaded pipeline stays in step.
  AnalyseFrame(queued);

  const RecordingScheduler::State recording = recording_scheduler_.GetState();
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
  // Every stage below is guarded: a stage that throws is reported and
  // skipped, and the frame still goes on to the next stages.
  auto guard = [this](const char* stage, auto&& work) {
    if (!GuardStage(stage, work)) frame_failed_ = true;
  };
  if (enable_drawings_ && drawing_wanted) {
    guard("DrawResults", [&] {
      DrawResults(current_result_, frame);
      if (show_fps_) DrawFps(frame_rate_text_, frame);
    });
  }
  if (recording.active) {
    guard("recording",
          [&] { RecordFrame(current_result_.moment_of_day(), frame); });
  }
  if (preview_requested_) {
    guard("preview", [&] { SendPreview(); });
    preview_requested_ = false;
  }
  if (FLAGS_testing_mode && FLAGS_add_frames_to_proto) {
    guard("preview", [&] { AddImageToResult(&current_result_); });
  }
  guard("publishing", [&] { SendResult(current_result_); });
  if (streaming_on) {
    guard("streaming", [&] {
      if (!current_result_.has_result_image()) AddImageToResult(&current_result_);
      streaming->Send(current_result_);
    });
  }
  guard("window", [&] { ShowWindow(frame); });
  processing_pipeline_ = nullptr;
  EndFrameFaults(frame_failed_);
  detecting_.exchange(false);
  watchdog_counter_.exchange(0);
}

void BaseDriver::ReportFrameFault(const char* stage, const std::string& what) {
  const std::string report = frame_faults_.Fault(stage, what);
  if (report.empty()) return;
  LOG(ERROR) << report;
  SendStatus(Status::STATUS_ERROR, "", report);
}

void BaseDriver::EndFrameFaults(bool failed) {
  if (!frame_faults_.EndFrame(failed)) return;
  stopped_by_faults_ = true;
  detection_stopped_ = true;
  const std::string reason =
      "Detection stopped: " +
      std::to_string(FrameFaultReporter::kMaxConsecutiveFailures) +
      " frames in a row failed. A new configuration or START_DETECTION "
      "starts it again";
  LOG(ERROR) << reason;
  SendStatus(Status::STATUS_ERROR, "", reason);
}

void BaseDriver::ResumeAfterFaults() {
  if (stopped_by_faults_.exchange(false)) {
    LOG(INFO) << "Detection resumes after the failed frames";
    detection_stopped_ = false;
  }
  frame_faults_.Reset();
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

}  // namespace vostek_kestu
