#include "vision/video/live_gather.h"

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include <opencv2/videoio.hpp>

#include "vision/video/video_gather.h"

namespace talvenrook_vision {
namespace {

using Clock = std::chrono::steady_clock;

// How long a request of the owner (a property, a resolution) waits for the
// reader to take it, and how long the destructor waits for a reader that
// is not stuck to end.
constexpr std::chrono::milliseconds kRequestWait(1000);
constexpr std::chrono::milliseconds kEndWait(1000);
// A call is given up this long after the back-end's own time-out.
constexpr std::chrono::milliseconds kGrace(1000);
// A failed call that lasted its time-out less this much timed out.
constexpr std::chrono::milliseconds kTimeoutMargin(200);

// The turn to open: one open at a time in the process. `owner` is the
// reader whose open runs (0: none).
std::mutex gate_mutex;
std::condition_variable gate_changed;
uintptr_t gate_owner = 0;

void ReleaseGate(uintptr_t id) {
  {
    std::lock_guard<std::mutex> lock(gate_mutex);
    if (gate_owner != id) return;
    gate_owner = 0;
  }
  gate_changed.notify_all();
}

// Wakes the readers waiting for their turn (one of them may be stopping).
void NotifyGate() {
  std::lock_guard<std::mutex> lock(gate_mutex);
  gate_changed.notify_all();
}

std::atomic<int64_t> abandoned_count{0};
std::atomic<int64_t> running_readers{0};

}  // namespace

// A request of the owner, carried out by the reader between two reads.
struct LiveGather::Request {
  bool resolution = false;  // else a property
  std::string name;
  double value = 0;
  cv::Size size;
  bool done = false;
  PropertyResult result = PropertyResult::kNotSet;
};

struct LiveGather::Shared {
  explicit Shared(const LiveGatherOptions& o) : options(o) {}

  const LiveGatherOptions options;
  std::string source;

  mutable std::mutex mutex;  // guards everything below
  std::condition_variable changed;
  struct Frame {
    cv::Mat image;
    double time_ms = -1.0;
  };
  std::deque<Frame> buffer;  // oldest first
  bool stop = false;
  bool finished = false;
  bool skip_frames = true;
  OpenState open_state = OpenState::kPending;
  bool ended = false;
  Stage stage = Stage::kStarting;
  Clock::time_point stage_since = Clock::now();
  std::string problem;
  Stage timed_out_stage = Stage::kDone;  // kDone: none
  cv::Size resolution;
  std::deque<std::shared_ptr<Request>> requests;

  void SetStage(Stage next) {
    std::lock_guard<std::mutex> lock(mutex);
    stage = next;
    stage_since = Clock::now();
  }
  bool stopping() const {
    std::lock_guard<std::mutex> lock(mutex);
    return stop;
  }
  uintptr_t id() const { return reinterpret_cast<uintptr_t>(this); }

  // Waits for the turn to open; false when told to stop meanwhile.
  bool EnterGate() {
    SetStage(Stage::kQueued);
    std::unique_lock<std::mutex> lock(gate_mutex);
    gate_changed.wait(lock, [this] { return gate_owner == 0 || stopping(); });
    if (stopping()) return false;
    gate_owner = id();
    // Opening from here: the deadline runs.
    SetStage(Stage::kOpening);
    return true;
  }
};

LiveGather::LiveGather(LiveGatherOptions options)
    : options_(std::move(options)),
      shared_(std::make_shared<Shared>(options_)) {
  shared_->skip_frames = options_.skip_frames;
}

LiveGather::~LiveGather() {
  bool opening = false;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stop = true;
    opening = shared_->stage == Stage::kOpening;
  }
  shared_->changed.notify_all();
  if (opening) ReleaseGate(shared_->id());
  NotifyGate();
  if (!begun_) return;
  std::unique_lock<std::mutex> lock(shared_->mutex);
  // A reader between two frames ends at once; one inside the capture
  // library is not waited for beyond a moment.
  shared_->changed.wait_for(lock, kEndWait, [this] {
    return shared_->finished || shared_->stage == Stage::kOpening ||
           shared_->stage == Stage::kReading;
  });
}

const char* LiveGather::StageName(Stage stage) {
  switch (stage) {
    case Stage::kStarting:
      return "starting";
    case Stage::kQueued:
      return "waiting to open";
    case Stage::kOpening:
      return "opening";
    case Stage::kReading:
      return "reading";
    case Stage::kWaiting:
      return "waiting";
    case Stage::kDone:
      return "done";
  }
  return "unknown";
}

int64_t LiveGather::AbandonedCount() { return abandoned_count; }
int64_t LiveGather::RunningReaders() { return running_readers; }

void LiveGather::Begin(const std::string& source) {
  if (begun_) return;
  begun_ = true;
  shared_->source = source;
  ++running_readers;
  std::thread(&LiveGather::Run, shared_).detach();
}

void LiveGather::HandleRequests(Shared& shared, VideoGather& capture) {
  std::deque<std::shared_ptr<Request>> requests;
  {
    std::lock_guard<std::mutex> lock(shared.mutex);
    requests.swap(shared.requests);
  }
  if (requests.empty()) return;
  for (const auto& request : requests) {
    PropertyResult result = PropertyResult::kNotSet;
    if (request->resolution) {
      result = capture.SetResolution(request->size) ? PropertyResult::kSet
                                                    : PropertyResult::kNotSet;
    } else {
      result = capture.ApplyProperty(request->name, request->value);
    }
    const cv::Size now = capture.GetResolution();
    std::lock_guard<std::mutex> lock(shared.mutex);
    request->result = result;
    request->done = true;
    shared.resolution = now;
  }
  shared.changed.notify_all();
}

void LiveGather::Run(std::shared_ptr<Shared> shared) {
  const LiveGatherOptions& options = shared->options;
  VideoGather capture;
  capture.SetApiPreference(options.stream_api, options.camera_api);
  capture.SetNetworkTimeouts(options.open_deadline, options.read_deadline);
  bool opened = false;
  if (shared->EnterGate()) {
    const auto started = Clock::now();
    try {
      opened = capture.OpenOnce(shared->source);
      if (opened && options.on_opened) options.on_opened(capture);
    } catch (const std::exception& e) {
      opened = false;
      std::lock_guard<std::mutex> lock(shared->mutex);
      shared->problem = e.what();
    }
    ReleaseGate(shared->id());
    if (!opened &&
        Clock::now() - started >= options.open_deadline - kTimeoutMargin) {
      std::lock_guard<std::mutex> lock(shared->mutex);
      shared->timed_out_stage = Stage::kOpening;
      shared->problem = "it did not answer within " +
                        std::to_string(options.open_deadline.count()) + " ms";
    }
  }
  cv::Size resolution = opened ? capture.GetResolution() : cv::Size();
  {
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->open_state = opened ? OpenState::kOpened : OpenState::kFailed;
    if (!opened && shared->problem.empty()) {
      shared->problem = "it could not be opened";
    }
    shared->resolution = resolution;
    shared->stage = Stage::kWaiting;
    shared->stage_since = Clock::now();
  }
  shared->changed.notify_all();
  while (opened) {
    {
      std::lock_guard<std::mutex> lock(shared->mutex);
      if (shared->stop) break;
      shared->stage = Stage::kReading;
      shared->stage_since = Clock::now();
    }
    HandleRequests(*shared, capture);
    cv::Mat image;
    bool got = false;
    const auto started = Clock::now();
    try {
      got = capture.Read(image) && !image.empty();
    } catch (const cv::Exception&) {
      got = false;
    }
    const bool timed_out = !got && Clock::now() - started >=
                                       options.read_deadline - kTimeoutMargin;
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->stage = Stage::kWaiting;
    shared->stage_since = Clock::now();
    if (shared->stop) break;
    if (!got) {
      shared->ended = true;
      if (timed_out) {
        shared->timed_out_stage = Stage::kReading;
        shared->problem = "no frame came within " +
                          std::to_string(options.read_deadline.count()) + " ms";
      } else {
        shared->problem = "the source ended or a read failed";
      }
      break;
    }
    if (shared->buffer.size() >= options.max_buffer_size) {
      if (shared->skip_frames) continue;  // the new frame is dropped
      for (;;) {
        shared->changed.wait(lock, [&] {
          return shared->stop ||
                 shared->buffer.size() < options.max_buffer_size ||
                 !shared->requests.empty();
        });
        if (shared->stop || shared->buffer.size() < options.max_buffer_size) {
          break;
        }
        lock.unlock();
        HandleRequests(*shared, capture);
        lock.lock();
      }
      if (shared->stop) break;
    }
    shared->buffer.push_back({std::move(image), capture.LastFrameTimeMs()});
    lock.unlock();
    shared->changed.notify_all();
  }
  capture.Release();
  {
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->ended = true;
    shared->finished = true;
    shared->stage = Stage::kDone;
    shared->stage_since = Clock::now();
  }
  shared->changed.notify_all();
  --running_readers;
}

LiveGather::OpenState LiveGather::open_state() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->open_state;
}

LiveGather::OpenState LiveGather::WaitOpened(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->changed.wait_for(lock, wait, [this] {
    return shared_->open_state != OpenState::kPending || shared_->stop;
  });
  return shared_->open_state;
}

LiveGather::ReadOutcome LiveGather::ReadFor(cv::Mat& frame,
                                            std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->changed.wait_for(lock, wait, [this] {
    return !shared_->buffer.empty() || shared_->ended ||
           shared_->open_state == OpenState::kFailed;
  });
  if (!shared_->buffer.empty()) {
    frame = std::move(shared_->buffer.front().image);
    last_frame_time_ms_ = shared_->buffer.front().time_ms;
    shared_->buffer.pop_front();
    lock.unlock();
    shared_->changed.notify_all();  // room for the reader
    return ReadOutcome::kFrame;
  }
  if (shared_->ended || shared_->open_state == OpenState::kFailed) {
    return ReadOutcome::kEnded;
  }
  return ReadOutcome::kWaiting;
}

bool LiveGather::Stuck(Stage* stage) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (stage != nullptr) *stage = shared_->stage;
  if (shared_->stop) return false;
  const auto age = Clock::now() - shared_->stage_since;
  switch (shared_->stage) {
    case Stage::kOpening:
      return age > options_.open_deadline + kGrace;
    case Stage::kReading:
      return age > options_.read_deadline + kGrace;
    default:
      return false;
  }
}

bool LiveGather::timed_out(Stage* stage) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (stage != nullptr) *stage = shared_->timed_out_stage;
  return shared_->timed_out_stage != Stage::kDone;
}

std::chrono::milliseconds LiveGather::StageAge() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return std::chrono::duration_cast<std::chrono::milliseconds>(
      Clock::now() - shared_->stage_since);
}

void LiveGather::Abandon() {
  bool opening = false;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->stop) return;
    shared_->stop = true;
    opening = shared_->stage == Stage::kOpening;
    if (opening || shared_->stage == Stage::kReading) ++abandoned_count;
  }
  shared_->changed.notify_all();
  // A reader given up inside an open hands its turn on; one waiting for
  // its turn leaves.
  if (opening) ReleaseGate(shared_->id());
  NotifyGate();
}

std::string LiveGather::last_problem() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->problem;
}

bool LiveGather::Open(const std::string& source, int, int, int) {
  Begin(source);
  return WaitOpened(options_.open_deadline) == OpenState::kOpened;
}

bool LiveGather::Read(cv::Mat& frame) {
  return ReadFor(frame, options_.read_deadline) == ReadOutcome::kFrame;
}

double LiveGather::LastFrameTimeMs() const { return last_frame_time_ms_; }

cv::Size LiveGather::GetResolution() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->resolution;
}

bool LiveGather::IsOpened() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->open_state == OpenState::kOpened && !shared_->ended;
}

void LiveGather::Release() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stop = true;
  }
  shared_->changed.notify_all();
  NotifyGate();
}

void LiveGather::SetSkipFrames(bool enable) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->skip_frames = enable;
}

PropertyResult LiveGather::Submit(std::shared_ptr<Request> request) {
  const bool running = IsOpened();
  std::unique_lock<std::mutex> lock(shared_->mutex);
  if (!running) return PropertyResult::kNotSet;
  shared_->requests.push_back(request);
  shared_->changed.notify_all();
  shared_->changed.wait_for(lock, kRequestWait, [&] { return request->done; });
  return request->done ? request->result : PropertyResult::kNotSet;
}

bool LiveGather::SetResolution(const cv::Size& size) {
  auto request = std::make_shared<LiveGather::Request>();
  request->resolution = true;
  request->size = size;
  return Submit(request) == PropertyResult::kSet;
}

bool LiveGather::SetProperty(const std::string& name, double value) {
  return ApplyProperty(name, value) == PropertyResult::kSet;
}

PropertyResult LiveGather::ApplyProperty(const std::string& name,
                                         double value) {
  auto request = std::make_shared<LiveGather::Request>();
  request->name = name;
  request->value = value;
  return Submit(request);
}

void QuietCaptureBackends() {
  // 8 is FFmpeg's AV_LOG_FATAL.
  setenv("OPENCV_FFMPEG_LOGLEVEL", "8", /*overwrite=*/0);
}

}  // namespace talvenrook_vision
