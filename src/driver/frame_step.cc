#include "src/driver/frame_step.h"

#include <algorithm>
#include <cstdio>

#include <glog/logging.h>

#include "absl/status/status.h"
#include "src/flags.h"

namespace vostek_kestu {

namespace {

double ElapsedMs(int64_t from_tick) {
  return static_cast<double>(cv::getTickCount() - from_tick) * 1000.0 /
         cv::getTickFrequency();
}

}  // namespace

FrameStep::FrameStep(Parts parts) : parts_(std::move(parts)) {}

void FrameStep::SetOptions(const PreviewOptions& preview,
                           const LoopOptions& loop) {
  auto options = std::make_shared<Options>();
  options->preview = preview;
  options->loop = loop;
  std::lock_guard<std::mutex> lock(options_mutex_);
  options_ = std::move(options);
}

PreviewOptions FrameStep::preview_options() const {
  std::lock_guard<std::mutex> lock(options_mutex_);
  return options_->preview;
}

void FrameStep::MeasureFrameRate(const LoopOptions& loop, bool show_text) {
  // Time since the previous frame started, throttled to max_fps.
  const double elapsed = frame_meter_start_ == 0
                             ? 0.0
                             : std::max(0.0, ElapsedMs(frame_meter_start_));
  const int64_t throttle_start = cv::getTickCount();
  if (loop.max_fps > 0) {
    const int wait_ms = static_cast<int>(1000.0 / loop.max_fps - elapsed);
    if (wait_ms > 0) {
      parts_.signals->WaitFor(std::chrono::milliseconds(wait_ms));
    }
  }
  frame_interval_ms_ = ElapsedMs(throttle_start) + elapsed;
  frame_meter_start_ = cv::getTickCount();
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f ms", frame_interval_ms_.load());
  frame_rate_text_ = text;
  if (show_text) LOG(INFO) << frame_rate_text_;
}

void FrameStep::Analyse(QueuedFrame& frame) {
  if (!frame.pipeline) return;
  talvenrook_vision::VisionAnalytics& analytics = *frame.pipeline;
  const std::shared_ptr<const VisionRequest> request =
      parts_.pipeline->request();
  std::unique_lock<std::mutex> lock = analytics.FrameLock();
  parts_.pipeline->clock().SetTicks(frame.ticks);
  const bool begun = frame.work != nullptr;
  const char* stage = begun ? "PopResult" : "Process";
  if (!Guard(stage, [&] {
        current_result_ = begun ? analytics.Finish(std::move(frame.work),
                                                   *request, frame.image)
                                : analytics.Process(*request, frame.image);
      })) {
    current_result_.Clear();
    frame_failed_ = true;
    return;
  }
  // A step the pipeline could not run on the frame: the result goes on as
  // the pipeline made it, and the frame counts as failed.
  const absl::Status status = analytics.FrameStatus();
  if (!status.ok()) {
    ReportFault(stage, std::string(status.message()));
    frame_failed_ = true;
  }
}

void FrameStep::Run(QueuedFrame& queued) {
  std::lock_guard<std::mutex> run_lock(run_mutex_);
  std::shared_ptr<const Options> options;
  {
    std::lock_guard<std::mutex> lock(options_mutex_);
    options = options_;
  }
  const PreviewOptions& preview = options->preview;
  detecting_.exchange(true);
  current_result_.Clear();
  frame_failed_ = queued.failed;
  cv::Mat& frame = queued.image;
  last_frame_number_ = queued.number;
  const Analysed analysed{queued.pipeline.get(), queued.number};
  MeasureFrameRate(options->loop, preview.show_text_fps);

  // A frame without a pipeline (a recording suspends the analytics) keeps
  // an empty result. A frame already begun is finished in any case, so
  // that the pipeline's detectors stay in step.
  Analyse(queued);

  const ProcessSettings& settings = *parts_.settings;
  ResultPublisher& publisher = *parts_.publisher;
  const RecordingScheduler::State recording = parts_.recorder->GetState();
  auto streaming = publisher.streaming_manager();
  const bool streaming_on = streaming->IsEnabled();
  const bool testing = settings.testing_mode();
  const bool show_gui = settings.show_gui();
  if (preview_requested_ || testing || streaming_on) {
    publisher.KeepPreview(frame);
  }
  const bool drawing_wanted =
      recording.active ? recording.allow_drawings
                       : (show_gui && parts_.window->usable()) || streaming_on;
  // Every stage below is guarded: a stage that throws is reported and
  // skipped, and the frame still goes on to the next stages.
  auto guard = [this](const char* stage, auto&& work) {
    if (!Guard(stage, work)) frame_failed_ = true;
  };
  auto draw = [&](cv::Mat& image) { Draw(analysed, preview, image); };
  if (preview.enable_drawings && drawing_wanted) {
    guard("DrawResults", [&] { draw(frame); });
  }
  if (recording.active) {
    guard("recording", [&] {
      parts_.recorder->RecordFrame(current_result_.moment_of_day(), frame);
    });
  }
  if (preview_requested_) {
    guard("preview", [&] { publisher.SendPreview(preview, draw); });
    preview_requested_ = false;
  }
  if (testing && FLAGS_add_frames_to_proto) {
    guard("preview",
          [&] { publisher.AddImageToResult(&current_result_, preview, draw); });
  }
  guard("publishing", [&] { publisher.SendResult(current_result_); });
  if (streaming_on) {
    guard("streaming", [&] {
      if (!current_result_.has_result_image()) {
        publisher.AddImageToResult(&current_result_, preview, draw);
      }
      streaming->Send(current_result_);
    });
  }
  guard("window", [&] { parts_.window->Show(frame, show_gui); });
  EndFrame(frame_failed_);
  detecting_.exchange(false);
  watchdog_counter_.exchange(0);
}

void FrameStep::Draw(const Analysed& frame, const PreviewOptions& preview,
                     cv::Mat& image) const {
  DrawContext context;
  context.pipeline = frame.pipeline;
  context.font_size = preview.font_size;
  context.frames_grabbed = frame.number;
  parts_.presenter->Draw(context, current_result_, image);
  if (preview.show_fps) ResultPublisher::DrawFps(frame_rate_text_, image);
}

void FrameStep::DrawResults(const VisionResult& result, cv::Mat& image) const {
  DrawContext context;
  context.font_size = preview_options().font_size;
  context.frames_grabbed = last_frame_number_;
  parts_.presenter->Draw(context, result, image);
}

cv::Mat FrameStep::PreviewImage() {
  const PreviewOptions preview = preview_options();
  const Analysed last{nullptr, last_frame_number_};
  return parts_.publisher->PreviewImage(
      preview, [&](cv::Mat& image) { Draw(last, preview, image); });
}

bool FrameStep::AddImageToResult(VisionResult* result) {
  const PreviewOptions preview = preview_options();
  const Analysed last{nullptr, last_frame_number_};
  return parts_.publisher->AddImageToResult(
      result, preview, [&](cv::Mat& image) { Draw(last, preview, image); });
}

void FrameStep::ReportFault(const char* stage, const std::string& what) {
  const std::string report = faults_.Fault(stage, what);
  if (report.empty()) return;
  LOG(ERROR) << report;
  parts_.send_status(Status::STATUS_ERROR, "", report);
}

void FrameStep::EndFrame(bool failed) {
  if (!faults_.EndFrame(failed)) return;
  stopped_by_faults_ = true;
  *parts_.detection_stopped = true;
  const std::string reason =
      "Detection stopped: " +
      std::to_string(FrameFaultReporter::kMaxConsecutiveFailures) +
      " frames in a row failed. A new configuration or START_DETECTION "
      "starts it again";
  LOG(ERROR) << reason;
  parts_.send_status(Status::STATUS_ERROR, "", reason);
}

bool FrameStep::ResumeAfterFaults() {
  const bool stopped = stopped_by_faults_.exchange(false);
  faults_.Reset();
  return stopped;
}

}  // namespace vostek_kestu
