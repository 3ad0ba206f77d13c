// A live frame source whose opening and reading can never hold its caller.
#ifndef VISION_VIDEO_LIVE_GATHER_H_
#define VISION_VIDEO_LIVE_GATHER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "vision/video/gather.h"

namespace talvenrook_vision {

class VideoGather;

// How a LiveGather opens and reads its source.
struct LiveGatherOptions {
  // The capture back-end of a source opened by name (a stream URL): one
  // back-end, so that a back-end that never returns is not tried behind
  // one that failed. Camera indexes use `camera_api`.
  int stream_api = 1900;  // cv::CAP_FFMPEG
  int camera_api = 0;     // cv::CAP_ANY
  // The back-end's own time-outs of an open and of one read. A call that
  // has not returned a second after its time-out is given up (see
  // LiveGather::Stuck); one that returned at its time-out is reported by
  // timed_out().
  std::chrono::milliseconds open_deadline{5000};
  std::chrono::milliseconds read_deadline{5000};
  size_t max_buffer_size = 5;
  // Full buffer: drop the new frame (true) or wait for room (false).
  bool skip_frames = true;
  // Run on the reader thread once the source is open, before its first
  // frame: camera properties and the resolution are set there. It must
  // capture what it needs by value: it may run after the gather that
  // started it was given up.
  std::function<void(Gather& opened)> on_opened;
};

// A Gather over one capture that lives on a reader thread of its own: the
// thread opens the source, runs `on_opened`, then reads frames into a
// bounded buffer until the source ends, a read fails or it is told to stop.
// No call of the owner waits on the capture library: Begin returns at once,
// Read waits at most the time it is given, and the destructor and Abandon
// never join a reader that is inside the capture library. Such a reader is
// left to finish its call; it then releases the capture and ends, and the
// process-wide counts say how many were given up and how many still run.
//
// Opens are made one at a time in the process (the capture library
// serialises them anyway): a reader waiting for its turn is kQueued, and
// its deadline has not begun. A reader given up while opening hands its
// turn on at once, so a back-end that never returns holds no one else up.
//
// Thread-safety: the owner's calls come from one thread at a time; the
// reader thread shares only the state behind one mutex.
//
// Example:
//   LiveGatherOptions options;
//   options.on_opened = [](Gather& g) { g.SetResolution({1280, 720}); };
//   auto live = std::make_shared<LiveGather>(options);
//   live->Begin("rtsp://127.0.0.1:8554/cam");
//   cv::Mat frame;
//   if (live->ReadFor(frame, std::chrono::milliseconds(200)) ==
//       LiveGather::ReadOutcome::kFrame) ...
//   if (live->Stuck(&stage)) live->Abandon();
class LiveGather : public Gather {
 public:
  // What the reader is doing.
  enum class Stage {
    kStarting,
    kQueued,  // waiting for its turn to open
    kOpening,
    kReading,
    kWaiting,
    kDone
  };
  enum class OpenState { kPending, kOpened, kFailed };
  enum class ReadOutcome {
    kFrame,    // a frame was taken from the buffer
    kWaiting,  // none yet; the source is still being opened or read
    kEnded,    // the open failed, or the source ended or failed after it
  };

  explicit LiveGather(LiveGatherOptions options);
  ~LiveGather() override;
  LiveGather(const LiveGather&) = delete;
  LiveGather& operator=(const LiveGather&) = delete;

  // Starts the reader on `source` (a stream URL, or a camera index of all
  // digits; "" is camera 0). Returns at once. Requires: called once.
  void Begin(const std::string& source);
  OpenState open_state() const;
  // Waits up to `wait` for the open to succeed or fail.
  OpenState WaitOpened(std::chrono::milliseconds wait);
  // Takes the oldest buffered frame, waiting up to `wait` for one.
  ReadOutcome ReadFor(cv::Mat& frame, std::chrono::milliseconds wait);
  // True when the reader has been inside one open or one read for longer
  // than its deadline; `stage` (when given) says which.
  bool Stuck(Stage* stage = nullptr) const;
  // The open or the last read failed at the back-end's own time-out; `stage`
  // (when given) says which.
  bool timed_out(Stage* stage = nullptr) const;
  // How long the reader has been in its current stage.
  std::chrono::milliseconds StageAge() const;
  // Stops the reader without waiting for it; counted in AbandonedCount
  // when it is inside the capture library. Releases its turn to open.
  void Abandon();
  // Why the open failed or reading ended, for the log.
  std::string last_problem() const;

  // Process-wide: readers given up while inside the capture library, and
  // reader threads that have not ended yet (given up or not).
  static int64_t AbandonedCount();
  static int64_t RunningReaders();

  // Gather. Open is Begin followed by a wait of one open deadline (the
  // attempts and waits are the owner's business); Read waits one read
  // deadline. Properties and resolution requests are handed to the reader
  // and answered kNotSet when it does not take them within a second.
  bool Open(const std::string& source, int attempts, int settle_seconds,
            int retry_seconds) override;
  bool Read(cv::Mat& frame) override;
  double LastFrameTimeMs() const override;
  cv::Size GetResolution() override;
  bool SetResolution(const cv::Size& size) override;
  bool IsOpened() override;
  void Release() override;
  void SetSkipFrames(bool enable) override;
  bool SetProperty(const std::string& name, double value) override;
  PropertyResult ApplyProperty(const std::string& name, double value) override;

  static const char* StageName(Stage stage);

 private:
  struct Shared;
  struct Request;  // a property or resolution asked of the reader
  static void Run(std::shared_ptr<Shared> shared);
  // Carries out the owner's requests on the reader thread.
  static void HandleRequests(Shared& shared, VideoGather& capture);
  // Hands a request to the reader and waits a moment for its answer.
  PropertyResult Submit(std::shared_ptr<Request> request);

  const LiveGatherOptions options_;
  std::shared_ptr<Shared> shared_;
  double last_frame_time_ms_ = -1.0;
  bool begun_ = false;
};

// Keeps the capture back-ends' own lines (a refused connection on every
// attempt to reopen a camera) out of the log: FFmpeg says fatal errors
// only, unless OPENCV_FFMPEG_LOGLEVEL already says otherwise. The reason of
// a failure is still logged once by the owner of the source. Call it at
// start, before any capture exists and before other threads run: it sets
// an environment variable.
void QuietCaptureBackends();

}  // namespace talvenrook_vision

#endif  // VISION_VIDEO_LIVE_GATHER_H_
