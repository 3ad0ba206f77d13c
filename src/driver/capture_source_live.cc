// CaptureSource: the live sources (stream URLs and camera indexes), opened
// and read through a LiveGather so that the capture thread never waits on
// the capture library.
#include <algorithm>

#include <glog/logging.h>
#include <opencv2/videoio.hpp>

#include "src/common/free_memory.h"
#include "src/driver/capture_source.h"

namespace vostek_kestu {

namespace {

using talvenrook_vision::LiveGather;
using Clock = std::chrono::steady_clock;

constexpr size_t kLiveBufferFrames = 5;
// Connect waits this long for a live source, so that a camera that opens
// at once is connected before the configuration is answered.
constexpr std::chrono::milliseconds kConnectWait(1000);
// One read waits at most this long for a frame, so that configurations
// and commands are applied between reads.
constexpr std::chrono::milliseconds kLiveReadWait(200);
// While the camera is away, attempts to open it come at most this far
// apart.
constexpr std::chrono::milliseconds kAttemptPeriod(1000);

// The source as the log shows it: a password in a URL is hidden.
std::string Shown(const std::string& source) {
  const size_t scheme = source.find("://");
  if (scheme == std::string::npos) return source;
  const size_t host = source.find('/', scheme + 3);
  const size_t at = source.rfind('@', host);
  if (at == std::string::npos || at < scheme) return source;
  const size_t colon = source.find(':', scheme + 3);
  if (colon == std::string::npos || colon > at) return source;
  return source.substr(0, colon + 1) + "***" + source.substr(at);
}

}  // namespace

bool CaptureSource::ConnectLive(const SourceOptions& settings) {
  if (live_) live_->Release();
  talvenrook_vision::LiveGatherOptions live;
  const int api = CaptureBackendApi(settings.capture_backend);
  live.stream_api = api;
  live.camera_api = settings.capture_backend.empty() ? cv::CAP_ANY : api;
  live.open_deadline =
      std::chrono::milliseconds(settings.capture_open_timeout_ms);
  live.read_deadline =
      std::chrono::milliseconds(settings.capture_read_timeout_ms);
  live.max_buffer_size = kLiveBufferFrames;
  live.skip_frames = settings.skip_frames;
  // The reader negotiates on a copy of the settings; they are taken over
  // when the open is reported.
  auto negotiated = std::make_shared<SourceOptions>(settings);
  live.on_opened = [negotiated](talvenrook_vision::Gather& gather) {
    ApplyCameraProperties(&gather, negotiated.get());
    NegotiateResolution(&gather, negotiated.get());
  };
  auto gather = std::make_shared<LiveGather>(std::move(live));
  {
    std::lock_guard<std::mutex> lock(source_mutex_);
    source_ = gather;
  }
  live_ = gather;
  live_negotiated_ = negotiated;
  live_open_reported_ = false;
  end_of_stream_handled_ = false;
  source_is_file_ = false;
  attempt_started_ = Clock::now();
  attempt_logged_ = health_.LogAttempt();
  if (attempt_logged_) {
    const int64_t attempt = health_.attempts();
    LOG(INFO) << "Trying to open camera at " << Shown(settings.source)
              << (attempt > CameraHealth::kLoggedAttempts
                      ? " (attempt " + std::to_string(attempt) +
                            "; one line a minute from now on)"
                      : "");
  }
  gather->Begin(settings.source);
  gather->WaitOpened(kConnectWait);
  SettleLiveOpen();
  return gather->open_state() != LiveGather::OpenState::kFailed;
}

bool CaptureSource::SettleLiveOpen() {
  if (!live_ || live_open_reported_) return true;
  switch (live_->open_state()) {
    case LiveGather::OpenState::kPending:
      return false;
    case LiveGather::OpenState::kOpened: {
      {
        std::lock_guard<std::mutex> lock(options_mutex_);
        options_.target_resolution = live_negotiated_->target_resolution;
        options_.force_resolution = live_negotiated_->force_resolution;
        options_.camera_properties = live_negotiated_->camera_properties;
      }
      live_open_reported_ = true;
      stuck_reported_ = false;
      const bool reconnected = end_of_stream_reported_;
      end_of_stream_reported_ = false;
      LOG(INFO) << "Connected to video source!";
      // The readers of the outage, and their decoders, are gone: the
      // memory they freed goes back to the system rather than staying
      // with the allocator's arenas of their threads.
      if (reconnected) ReturnFreeMemoryToSystem();
      health_.Connected();
      send_status_(Status::CAMERA_CONNECTED, "", "");
      return true;
    }
    case LiveGather::OpenState::kFailed: {
      live_open_reported_ = true;
      LiveGather::Stage stage;
      if (live_->timed_out(&stage)) {
        ReportUnanswered(stage, /*abandoned=*/false);
      } else if (attempt_logged_) {
        LOG(ERROR) << "Error trying to connect to video source: "
                   << live_->last_problem();
      }
      ReportDisconnected();
      return true;
    }
  }
  return true;
}

void CaptureSource::ReportUnanswered(LiveGather::Stage stage, bool abandoned) {
  const bool opening = stage == LiveGather::Stage::kOpening;
  const SourceOptions settings = options();
  std::string message =
      "The camera " + Shown(settings.source) + " did not answer while " +
      LiveGather::StageName(stage) + " within " +
      std::to_string(opening ? settings.capture_open_timeout_ms
                             : settings.capture_read_timeout_ms) +
      " ms; ";
  if (abandoned) {
    message += "the capture was given up (" +
               std::to_string(health_.State().abandoned_captures()) +
               " given up so far) and ";
  }
  message += "it is opened again";
  if (attempt_logged_ || !stuck_reported_) LOG(ERROR) << message;
  if (!stuck_reported_) {
    stuck_reported_ = true;
    send_status_(Status::STATUS_ERROR, "", message);
  }
}

void CaptureSource::AbandonStuck(LiveGather::Stage stage) {
  live_->Abandon();
  health_.CaptureAbandoned();
  ReportUnanswered(stage, /*abandoned=*/true);
  live_open_reported_ = true;
  ReportDisconnected();
}

CaptureSource::ReadResult CaptureSource::ReadLive(cv::Mat& target) {
  LiveGather::Stage stage;
  if (live_->Stuck(&stage)) {
    AbandonStuck(stage);
    return NextLiveAttempt();
  }
  const LiveGather::ReadOutcome outcome = live_->ReadFor(target, kLiveReadWait);
  SettleLiveOpen();
  switch (outcome) {
    case LiveGather::ReadOutcome::kFrame:
      Stamp(*live_);
      health_.FrameRead();
      return ReadResult::kFrame;
    case LiveGather::ReadOutcome::kWaiting:
      return ReadResult::kWaiting;
    case LiveGather::ReadOutcome::kEnded:
      break;
  }
  LiveGather::Stage timed_out_stage;
  if (live_->timed_out(&timed_out_stage) &&
      timed_out_stage == LiveGather::Stage::kReading) {
    ReportUnanswered(timed_out_stage, /*abandoned=*/false);
  }
  if (!end_of_stream_reported_) {
    LOG(INFO) << "No more frames to read.";
    ReportDisconnected();
  }
  return NextLiveAttempt();
}

CaptureSource::ReadResult CaptureSource::NextLiveAttempt() {
  if (!options().enable_source_reconnection) {
    return end_of_stream_handled_ ? ReadResult::kNoFrame
                                  : ReadResult::kEndOfStream;
  }
  const auto due = attempt_started_ + kAttemptPeriod;
  const auto now = Clock::now();
  if (now < due) {
    idle_wait_(std::min(
        kLiveReadWait,
        std::chrono::duration_cast<std::chrono::milliseconds>(due - now)));
    return ReadResult::kWaiting;
  }
  Connect();
  return ReadResult::kWaiting;
}

}  // namespace vostek_kestu
