// A frame source read synchronously on the caller's thread.
#ifndef VISION_VIDEO_VIDEO_GATHER_H_
#define VISION_VIDEO_VIDEO_GATHER_H_

#include <chrono>
#include <functional>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "vision/video/gather.h"

namespace talvenrook_vision {

// Waits for the given time. The waits of Open go through one of these, so
// that tests can run them without real time passing.
using SleepFunction = std::function<void(std::chrono::milliseconds)>;

// The real wait: std::this_thread::sleep_for.
void RealSleep(std::chrono::milliseconds duration);

// A Gather over one cv::VideoCapture, read on the caller's thread.
//
// Sources: a string of 5 or more characters is opened by name (file paths,
// stream URLs); a shorter one is a camera index ("" means camera 0) and must
// be all decimal digits, or Open fails at once without further attempts.
// A source opened by name gives up opening, and each later read, after the
// network time-out (5 s unless changed), so that a stream that never answers
// cannot hold its caller for longer.
//
// A camera property that the capture library refuses outright (it throws,
// as for the read-only "backend") writes
// "WARNING: Camera property could not be set: " + name and reports
// PropertyResult::kRefused; the capture stays usable.
// Read returns false at the end of a file and makes IsOpened false. Frames
// are never dropped, so SetSkipFrames only says so.
//
// Not thread-safe: use it from one thread at a time.
class VideoGather : public Gather {
 public:
  VideoGather();
  ~VideoGather() override;

  bool Open(const std::string& source, int attempts, int settle_seconds,
            int retry_seconds) override;
  bool Read(cv::Mat& frame) override;
  double LastFrameTimeMs() const override { return last_frame_time_ms_; }
  cv::Size GetResolution() override;
  bool SetResolution(const cv::Size& size) override;
  bool IsOpened() override;
  void Release() override;
  void SetSkipFrames(bool enable) override;
  bool SetProperty(const std::string& name, double value) override;
  PropertyResult ApplyProperty(const std::string& name, double value) override;

  // The open and read time-out of sources opened by name, from the next
  // Open on. Requires: milliseconds > 0.
  void SetNetworkTimeout(std::chrono::milliseconds timeout) {
    network_timeout_ = timeout;
    read_timeout_ = timeout;
  }
  // The same, with a read time-out of its own.
  void SetNetworkTimeouts(std::chrono::milliseconds open,
                          std::chrono::milliseconds read) {
    network_timeout_ = open;
    read_timeout_ = read;
  }

  static constexpr std::chrono::milliseconds kDefaultNetworkTimeout{5000};

  // The capture back-ends of sources opened by name and of camera indexes,
  // from the next Open on (cv::CAP_ANY for both unless changed).
  void SetApiPreference(int named_api, int camera_api) {
    named_api_ = named_api;
    camera_api_ = camera_api;
  }
  // One attempt to open the source, writing nothing and waiting for
  // nothing; true when it is open.
  bool OpenOnce(const std::string& source);

  // Replaces the wait used by Open; an empty function restores RealSleep.
  // Requires: no Open or Read under way.
  void SetSleepFunction(SleepFunction sleep);

 protected:
  // Writes one line to standard error in a single write.
  static void WriteLine(const std::string& text);
  // "[" width " x " height "]".
  static std::string SizeText(const cv::Size& size);

  void Sleep(std::chrono::milliseconds duration) const { sleep_(duration); }

  // The capture's position after the latest frame was decoded, in ms.
  double PositionMs();

  cv::VideoCapture capture_;
  double last_frame_time_ms_ = -1.0;

 private:
  // The outcome of one attempt to open the source.
  enum class OpenResult { kOpened, kNotOpened, kNotACameraIndex };
  OpenResult OpenSource(const std::string& source);

  SleepFunction sleep_;
  std::chrono::milliseconds network_timeout_ = kDefaultNetworkTimeout;
  std::chrono::milliseconds read_timeout_ = kDefaultNetworkTimeout;
  int named_api_ = cv::CAP_ANY;
  int camera_api_ = cv::CAP_ANY;
};

}  // namespace talvenrook_vision

#endif  // VISION_VIDEO_VIDEO_GATHER_H_
