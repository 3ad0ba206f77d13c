// The frame source interface of the vision library.
#ifndef VISION_VIDEO_GATHER_H_
#define VISION_VIDEO_GATHER_H_

#include <atomic>
#include <string>

#include <opencv2/core.hpp>

namespace talvenrook_vision {

// A source of BGR frames: a camera index, a video file or a stream URL.
//
// Open blocks until the source is open or every attempt has failed; Read
// then delivers frames one at a time as reference-counted images. Failures
// are reported by return values and single lines on standard error.
// IsOpened turns false while an open is under way, after a failed open,
// after a failed read and once a reader thread has stopped.
// The outcome of setting one camera property by name.
enum class PropertyResult {
  kSet,      // the source took the value
  kNotSet,   // the source did not take it (it may on another source)
  kUnknown,  // the name is not in the camera property table
  kRefused,  // the capture library refuses the property itself (for
             // example a read-only one); it can never be set
};

class Gather {
 public:
  Gather(const Gather&) = delete;
  Gather& operator=(const Gather&) = delete;
  virtual ~Gather() = default;

  // Tries to open the source up to `attempts` times. Each attempt waits
  // `settle_seconds` after opening; a failed attempt waits a further
  // `retry_seconds`. Returns true when the source is open.
  virtual bool Open(const std::string& source, int attempts, int settle_seconds,
                    int retry_seconds) = 0;
  // Stores the next frame into `frame`; true when it is a non-empty frame.
  virtual bool Read(cv::Mat& frame) = 0;
  // The position in the source of the frame that the last successful Read
  // returned, in milliseconds (a file's own timestamps); negative when the
  // source does not say.
  virtual double LastFrameTimeMs() const { return -1.0; }
  // The source's frame size as it reports it.
  virtual cv::Size GetResolution() = 0;
  // Asks the source for a frame size; true when it reports exactly that size
  // afterwards.
  virtual bool SetResolution(const cv::Size& size) = 0;
  virtual bool IsOpened() = 0;
  virtual void Release() = 0;
  // Lets a source that reads ahead begin reading. Does nothing by default.
  virtual void StartReading() {}
  // Allows or forbids dropping frames to keep up with a live source.
  virtual void SetSkipFrames(bool enable) = 0;
  // Sets a camera property by its name (see CameraPropertyTable); true when
  // the name is known and the source accepted the value.
  virtual bool SetProperty(const std::string& name, double value) = 0;
  // The same, telling apart why a value was not set. By default: kSet or
  // kNotSet from SetProperty.
  virtual PropertyResult ApplyProperty(const std::string& name, double value) {
    return SetProperty(name, value) ? PropertyResult::kSet
                                    : PropertyResult::kNotSet;
  }

 protected:
  Gather() = default;

  std::atomic<bool> failed_{false};
};

}  // namespace talvenrook_vision

#endif  // VISION_VIDEO_GATHER_H_
