// A frame source that reads ahead on a thread of its own.
#ifndef VISION_VIDEO_THREADED_VIDEO_GATHER_H_
#define VISION_VIDEO_THREADED_VIDEO_GATHER_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include <opencv2/core.hpp>

#include "vision/video/video_gather.h"

namespace talvenrook_vision {

// A VideoGather whose reader thread fills a bounded first-in first-out
// buffer of frames, so that a slow consumer of a live stream does not fall
// behind.
//
// A successful Open starts the reader thread holding: it grabs nothing until
// StartReading or the first Read. While the buffer is full the reader either
// leaves frames in the source (skip frames off: every frame is delivered) or
// grabs and drops them (skip frames on: the source is drained at its own
// rate). Buffered frames are never overwritten, so the buffer holds the
// oldest frames not yet read. Read waits on the buffer's condition variable
// until a frame is buffered or the reader has ended, at most the read
// time-out; frames buffered before the reader stopped are still delivered.
// The reader stops at the end of the source, on a failed grab, on Release
// and on the next Open; the destructor stops and joins it. While it holds,
// and while a full buffer waits for a Read (skip frames off), the reader
// sleeps on a condition variable until it is released, a frame is read or
// it is stopped.
//
// Thread-safety: Read, Open and the other operations come from one consumer
// thread, concurrently with the reader thread. Open must not be called from
// the reader thread.
//
// Example: ThreadedVideoGather gather(/*skip_frames=*/true,
//     /*max_buffer_size=*/5, /*read_timeout_ms=*/2000);
class ThreadedVideoGather : public VideoGather {
 public:
  // Requires: max_buffer_size >= 1 (smaller values count as 1).
  ThreadedVideoGather(bool skip_frames, int max_buffer_size,
                      int read_timeout_ms);
  ~ThreadedVideoGather() override;

  bool Open(const std::string& source, int attempts, int settle_seconds,
            int retry_seconds) override;
  bool Read(cv::Mat& frame) override;
  cv::Size GetResolution() override;
  bool SetResolution(const cv::Size& size) override;
  bool IsOpened() override;
  // Asks the reader thread to stop; the capture is released by the next
  // Open or by the destructor.
  void Release() override;
  void StartReading() override;
  void SetSkipFrames(bool enable) override;
  PropertyResult ApplyProperty(const std::string& name, double value) override;

  // The number of frames waiting in the buffer.
  size_t BufferedFrameCount() const { return buffered_; }

 private:
  void StopReader();
  void ReadFrames();
  // Sets a flag the reader waits on, and wakes it.
  void Signal(std::atomic<bool>* flag, bool value);
  // The reader's waits; false when it is asked to stop.
  bool WaitWhileHeld();
  bool WaitForRoom();
  // Steps of the reader thread; the capture lock must be held.
  bool GrabLocked();
  cv::Mat RetrieveLocked();

  // Guards every call on capture_ made while the reader thread may run.
  std::mutex capture_mutex_;
  // Guards buffer_ and the reader's waits on changed_. Never held together
  // with capture_mutex_.
  std::mutex buffer_mutex_;
  std::condition_variable changed_;
  std::atomic<bool> hold_{true};   // the reader grabs nothing while set
  std::atomic<bool> stop_{false};  // asks the reader thread to end
  const size_t max_buffer_size_;
  struct BufferedFrame {
    cv::Mat image;
    double time_ms = -1.0;  // position in the source
  };
  std::deque<BufferedFrame> buffer_;  // oldest first
  bool reader_running_ = false;       // guarded by buffer_mutex_
  std::atomic<size_t> buffered_{0};   // buffer_.size(), for lock-free polls
  std::thread reader_;                // empty when no thread runs
  const int read_timeout_ms_;
  std::atomic<bool> skip_frames_;
};

}  // namespace talvenrook_vision

#endif  // VISION_VIDEO_THREADED_VIDEO_GATHER_H_
