#include "src/driver/frame_loop.h"

#include <glog/logging.h>

#include "src/common/free_memory.h"
#include "src/flags.h"

namespace vostek_kestu {

namespace {

constexpr int kWaitForConfigurationSeconds = 30;
constexpr std::chrono::seconds kIdleWait(1);
constexpr std::chrono::seconds kWatchdogTick(1);

}  // namespace

FrameLoop::FrameLoop(Parts parts) : parts_(std::move(parts)) {
  parts_.pipeline->SetTaskRunner(inference_workers_);
}

FrameLoop::~FrameLoop() { Stop(); }

void FrameLoop::Start(bool client_loop) {
  Stop();
  parts_.signals->Resume();
  queue_.Open();
  detection_thread_ = std::thread(&FrameLoop::RunDetectionLoop, this);
  watchdog_thread_ = std::thread(&FrameLoop::RunWatchdog, this);
  if (client_loop)
    capture_thread_ = std::thread(&FrameLoop::RunClientLoop, this);
}

void FrameLoop::Interrupt() {
  parts_.signals->RequestStop();
  queue_.Close();
}

void FrameLoop::Stop() {
  Interrupt();
  for (std::thread* t :
       {&capture_thread_, &detection_thread_, &watchdog_thread_}) {
    if (t->joinable()) t->join();
  }
}

void FrameLoop::SetOptions(const LoopOptions& options) {
  queue_.set_capacity(static_cast<size_t>(options.max_async_images));
  async_mode_ = options.async_mode;
}

void FrameLoop::RunClientLoop() {
  Configurator& configurator = *parts_.configurator;
  const ClientPresence& client = parts_.client;
  DriverSignals& signals = *parts_.signals;
  while (!signals.stopping()) {
    LOG(INFO) << "Waiting for connection...";
    // The pings are looked at once a second.
    while (!client.Alive()) {
      if (!signals.WaitFor(kIdleWait)) return;
      if (parts_.pipeline->has_pipeline()) {
        VLOG(5) << "Still waiting connection...";
      }
    }
    if (parts_.pipeline->has_pipeline()) {
      LOG(INFO) << "Reconnected";
    } else {
      LOG(INFO) << "Connected";
      configurator.WaitForConfiguration(kWaitForConfigurationSeconds);
    }
    while (client.Alive() && !signals.stopping()) {
      VLOG(5) << "Checking for configuration";
      configurator.ApplyPendingConfigurations();
      if (!CaptureStep(/*check_freeze=*/true)) break;
    }
    ReleasePipeline();
    if (signals.stopping()) return;
    LOG(INFO) << "Connectivity lost.";
  }
}

CaptureSource::Frame FrameLoop::Grab(bool check_freeze, bool async) {
  const bool stopped = *parts_.detection_stopped;
  if (stopped || !parts_.pipeline->has_pipeline()) return {};
  CaptureSource::NextFrame how;
  how.fresh_buffers = async;
  how.check_freeze = check_freeze;
  how.detection_stopped = stopped;
  CaptureSource::Frame frame = parts_.capture->Next(how);
  if (frame.outcome == CaptureSource::ReadResult::kEndOfStream) {
    parts_.source_end->Handle();
  }
  return frame;
}

bool FrameLoop::CaptureStep(bool check_freeze) {
  capture_pipeline_ = parts_.pipeline->current();
  if (trim_pending_.exchange(false)) ReturnFreeMemoryToSystem();
  if (!capture_pipeline_ || parts_.signals->stopping()) return false;
  const bool async = async_mode_;
  grab_started_ns_ = std::chrono::steady_clock::now().time_since_epoch() /
                     std::chrono::nanoseconds(1);
  CaptureSource::Frame frame = Grab(check_freeze, async);
  grab_started_ns_ = 0;
  if (frame.outcome == CaptureSource::ReadResult::kFrame) {
    VLOG(5) << "Grabbed frame";
    QueuedFrame queued = Number(std::move(frame));
    if (async) {
      Enqueue(std::move(queued));
      VLOG(5) << "Frame Enqueued";
    } else {
      VLOG(5) << "Frame Enqueued";
      parts_.step->Run(queued);
      VLOG(5) << "Sync Process detection finished";
    }
    return true;
  }
  // A live source that is still opening or reading has waited already.
  if (frame.outcome == CaptureSource::ReadResult::kWaiting) {
    return !parts_.signals->stopping();
  }
  // Nothing to read: a queued configuration (or a command that starts
  // detection again) ends the wait.
  const ConfigurationQueue* configurations = parts_.configurations;
  if (!parts_.signals->WaitFor(kIdleWait, [configurations] {
        return configurations->Count() > 0;
      })) {
    return false;
  }
  VLOG(5) << "GrabFrame() returned false";
  return true;
}

QueuedFrame FrameLoop::Number(CaptureSource::Frame frame) {
  QueuedFrame queued;
  queued.image = std::move(frame.image);
  queued.ticks = frame.ticks;
  queued.number = ++frames_grabbed_;
  // While a recording suspends the analytics the frame still goes through
  // the frame step (it is recorded there), but no pipeline receives it.
  queued.pipeline = FramePipeline();
  return queued;
}

bool FrameLoop::ProcessNextFrame() {
  capture_pipeline_ = parts_.pipeline->current();
  if (!capture_pipeline_) return false;
  CaptureSource::Frame frame = Grab(/*check_freeze=*/false, /*async=*/false);
  if (frame.outcome != CaptureSource::ReadResult::kFrame) return false;
  QueuedFrame queued = Number(std::move(frame));
  parts_.step->Run(queued);
  return true;
}

bool FrameLoop::AnalyticsSuspended() const {
  const RecordingScheduler::State recording = parts_.recorder->GetState();
  return recording.active && !recording.allow_processing;
}

std::shared_ptr<talvenrook_vision::VisionAnalytics> FrameLoop::FramePipeline()
    const {
  if (AnalyticsSuspended()) return nullptr;
  return capture_pipeline_ ? capture_pipeline_ : parts_.pipeline->current();
}

void FrameLoop::Enqueue(QueuedFrame queued) {
  if (!queue_.WaitForRoom()) return;  // stopping
  // Begun ahead before it is queued: the detection thread finishes it.
  if (queued.pipeline) {
    // A frame whose Begin threw is still shown and counted as failed, but
    // not finished: the pipeline has nothing of it to deliver.
    if (parts_.step->Guard("PushFrame", [&] {
          queued.work = queued.pipeline->Begin(queued.image, /*ahead=*/true);
        })) {
    } else {
      queued.failed = true;
      queued.pipeline.reset();
    }
  }
  queue_.Push(std::move(queued));
}

void FrameLoop::ProcessFrame(cv::Mat frame) {
  QueuedFrame step;
  step.image = std::move(frame);
  step.ticks = cv::getTickCount();
  step.number = frames_grabbed_;
  step.pipeline = FramePipeline();
  parts_.step->Run(step);
}

void FrameLoop::DropQueuedFrames() {
  // Released outside the queue's lock, as the last of them may take the
  // old pipeline with it.
  std::deque<QueuedFrame> dropped = queue_.Clear();
}

void FrameLoop::RunDetectionLoop() {
  while (std::optional<QueuedFrame> frame = queue_.Pop()) {
    parts_.step->Run(*frame);
  }
}

bool FrameLoop::GrabOverdue() const {
  const int64_t started = grab_started_ns_;
  if (started == 0) return false;
  const auto now = std::chrono::steady_clock::now().time_since_epoch() /
                   std::chrono::nanoseconds(1);
  return now - started >
         int64_t{parts_.settings->detection_timeout()} * 1000000000;
}

bool FrameLoop::WatchdogPaused() const {
  return *parts_.detection_stopped || parts_.capture->end_of_stream_reported();
}

void FrameLoop::RunWatchdog() {
  DriverSignals& signals = *parts_.signals;
  while (signals.WaitFor(kWatchdogTick)) {
    // Reading is watched whether detection runs or not: a capture thread
    // held by its source answers no command either.
    if (GrabOverdue() && !FLAGS_step_mode) {
      LOG(ERROR) << "Unresponsive system detected.";
      LOG(FATAL) << "Capture task is unresponsive. Closing application";
    }
    if (!parts_.step->detecting() || WatchdogPaused() || FLAGS_step_mode) {
      continue;
    }
    if (parts_.step->CountWatchdogSecond() >
        parts_.settings->detection_timeout()) {
      LOG(ERROR) << "Unresponsive system detected.";
      signals.WaitFor(kWatchdogTick);
      LOG(FATAL) << "Detection task is unresponsive. Closing application";
    }
  }
}

}  // namespace vostek_kestu
