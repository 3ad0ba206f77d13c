#include "vision/video/threaded_video_gather.h"

#include <chrono>
#include <utility>

namespace talvenrook_vision {

ThreadedVideoGather::ThreadedVideoGather(bool skip_frames, int max_buffer_size,
                                         int read_timeout_ms)
    : max_buffer_size_(max_buffer_size < 1 ? 1 : max_buffer_size),
      read_timeout_ms_(read_timeout_ms),
      skip_frames_(skip_frames) {}

ThreadedVideoGather::~ThreadedVideoGather() { StopReader(); }

void ThreadedVideoGather::Signal(std::atomic<bool>* flag, bool value) {
  {
    std::lock_guard<std::mutex> lock(buffer_mutex_);
    *flag = value;
  }
  changed_.notify_all();
}

void ThreadedVideoGather::StopReader() {
  Signal(&stop_, true);
  if (reader_.joinable()) reader_.join();
}

bool ThreadedVideoGather::WaitWhileHeld() {
  std::unique_lock<std::mutex> lock(buffer_mutex_);
  changed_.wait(lock, [this] { return stop_ || !hold_; });
  return !stop_;
}

bool ThreadedVideoGather::WaitForRoom() {
  std::unique_lock<std::mutex> lock(buffer_mutex_);
  changed_.wait(lock,
                [this] { return stop_ || buffer_.size() < max_buffer_size_; });
  return !stop_;
}

bool ThreadedVideoGather::Open(const std::string& source, int attempts,
                               int settle_seconds, int retry_seconds) {
  StopReader();
  {
    // Frames of the previous source must not come out of the new one.
    std::lock_guard<std::mutex> lock(buffer_mutex_);
    buffer_.clear();
    buffered_ = 0;
  }
  // No reader thread runs from here until it is started below.
  if (!VideoGather::Open(source, attempts, settle_seconds, retry_seconds)) {
    return false;
  }
  hold_ = true;
  stop_ = false;
  {
    std::lock_guard<std::mutex> lock(buffer_mutex_);
    reader_running_ = true;
  }
  reader_ = std::thread(&ThreadedVideoGather::ReadFrames, this);
  return true;
}

void ThreadedVideoGather::ReadFrames() {
  WaitWhileHeld();
  while (!stop_ && !failed_) {
    bool grabbed = false;
    {
      std::lock_guard<std::mutex> lock(capture_mutex_);
      if (!capture_.isOpened()) break;
      if (skip_frames_ || buffered_ < max_buffer_size_) {
        if (!GrabLocked()) {
          WriteLine("Error grabbing the image");
          break;
        }
        grabbed = true;
      }
    }
    // Only this thread appends, so the fill level can only have dropped
    // since the test above. Without a fresh grab there is nothing to
    // retrieve: retrieving again would repeat the previous frame.
    if (grabbed && buffered_ < max_buffer_size_) {
      BufferedFrame frame;
      {
        std::lock_guard<std::mutex> lock(capture_mutex_);
        frame.image = RetrieveLocked();
        frame.time_ms = PositionMs();
      }
      {
        std::lock_guard<std::mutex> lock(buffer_mutex_);
        buffer_.push_back(std::move(frame));
        buffered_ = buffer_.size();
      }
      changed_.notify_all();  // a frame for Read
    } else if (!grabbed && !WaitForRoom()) {
      break;
    }
    // A grab without room (skip frames on) dropped its frame; the source
    // paces the next one.
    if (stop_) break;
  }
  failed_ = true;
  WriteLine("Stopped reading frames...");
  {
    std::lock_guard<std::mutex> lock(buffer_mutex_);
    stop_ = true;
    reader_running_ = false;
  }
  changed_.notify_all();  // a waiting Read ends with what is buffered
}

bool ThreadedVideoGather::GrabLocked() {
  try {
    return capture_.grab();
  } catch (const cv::Exception&) {
    return false;
  }
}

cv::Mat ThreadedVideoGather::RetrieveLocked() {
  cv::Mat frame;
  try {
    capture_.retrieve(frame);
  } catch (const cv::Exception&) {
    frame.release();
  }
  return frame;
}

bool ThreadedVideoGather::Read(cv::Mat& frame) {
  if (hold_) Signal(&hold_, false);
  {
    std::unique_lock<std::mutex> lock(buffer_mutex_);
    // Until the reader buffers a frame or ends, at most the read time-out.
    changed_.wait_for(lock, std::chrono::milliseconds(read_timeout_ms_),
                      [this] { return !buffer_.empty() || !reader_running_; });
    if (!buffer_.empty()) {
      frame = std::move(buffer_.front().image);
      last_frame_time_ms_ = buffer_.front().time_ms;
      buffer_.pop_front();
      buffered_ = buffer_.size();
      changed_.notify_all();  // room for the reader
      // A frame buffered before the reader stopped is still a good frame,
      // even though failed_ is already set by then.
      if (frame.empty()) {
        failed_ = true;
        return false;
      }
      return true;
    }
  }
  frame.release();
  WriteLine("Info: Image buffer is empty");
  failed_ = true;
  return false;
}

cv::Size ThreadedVideoGather::GetResolution() {
  std::lock_guard<std::mutex> lock(capture_mutex_);
  return VideoGather::GetResolution();
}

bool ThreadedVideoGather::SetResolution(const cv::Size& size) {
  cv::Size current = GetResolution();
  if (current == size) {
    WriteLine("Resolution is already set. Good to go!");
    return true;
  }
  WriteLine("Previous resolution: " + SizeText(current));
  {
    std::lock_guard<std::mutex> lock(capture_mutex_);
    capture_.set(cv::CAP_PROP_FRAME_WIDTH, size.width);
    capture_.set(cv::CAP_PROP_FRAME_HEIGHT, size.height);
  }
  current = GetResolution();
  if (current == size) {
    WriteLine("Resolution successfully set: " + SizeText(current));
    return true;
  }
  WriteLine("Could not set resolution, falling back to: " + SizeText(current));
  return false;
}

bool ThreadedVideoGather::IsOpened() {
  std::lock_guard<std::mutex> lock(capture_mutex_);
  return capture_.isOpened() && !failed_;
}

void ThreadedVideoGather::Release() { Signal(&stop_, true); }

void ThreadedVideoGather::StartReading() { Signal(&hold_, false); }

void ThreadedVideoGather::SetSkipFrames(bool enable) { skip_frames_ = enable; }

PropertyResult ThreadedVideoGather::ApplyProperty(const std::string& name,
                                                  double value) {
  std::lock_guard<std::mutex> lock(capture_mutex_);
  return VideoGather::ApplyProperty(name, value);
}

}  // namespace talvenrook_vision
