#include "src/driver/video_recorder.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <utility>

#include <glog/logging.h>
#include <opencv2/imgproc.hpp>

namespace vostek_kestu {

namespace {

// The directory the file would go to exists and may be written.
bool DirectoryWritable(const std::string& path) {
  std::string directory = std::filesystem::path(path).parent_path().string();
  if (directory.empty()) directory = ".";
  return ::access(directory.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

VideoRecorder::VideoRecorder(const RecorderClock* clock) : clock_(clock) {}

VideoRecorder::~VideoRecorder() {
  if (writer_.isOpened()) writer_.release();
}

bool VideoRecorder::Schedule(int duration_seconds,
                             const std::string& output_path, int fourcc,
                             int fps, const cv::Size& frame_size,
                             int64_t wait_seconds, bool is_color) {
  LOG(INFO) << "Video Recording Scheduled: ";
  LOG(INFO) << "  Output: " << output_path;
  LOG(INFO) << "  Duration: " << duration_seconds;
  LOG(INFO) << "  Resolution: "
            << "[" << frame_size.width << " x " << frame_size.height << "]";
  LOG(INFO) << "  Wait time: " << wait_seconds;

  output_path_ = output_path;
  // Absurd durations or rates give as many frames as an int holds, never an
  // overflow.
  const double frames =
      static_cast<double>(duration_seconds) * static_cast<double>(fps);
  frames_to_write_ = static_cast<int>(std::clamp(
      frames, 0.0, static_cast<double>(std::numeric_limits<int>::max())));
  frames_written_ = 0;
  wait_seconds_ = wait_seconds;
  fourcc_ = fourcc;
  fps_ = fps;
  frame_size_ = frame_size;
  is_color_ = is_color;
  schedulable_ =
      frame_size.area() > 0 && fps > 0 && DirectoryWritable(output_path);
  last_tick_ = clock_->Ticks();
  has_last_tick_ = true;
  return schedulable_;
}

bool VideoRecorder::OpenWriter() {
  if (opened_) return writer_.isOpened();
  if (open_failed_ || !schedulable_) return false;
  try {
    writer_.open(output_path_, fourcc_, static_cast<double>(fps_), frame_size_,
                 is_color_);
  } catch (const cv::Exception&) {
    // Some back-ends throw on arguments they reject instead of failing the
    // open.
    writer_.release();
  }
  opened_ = writer_.isOpened();
  open_failed_ = !opened_;
  return opened_;
}

bool VideoRecorder::Write(const cv::Mat& image) {
  if (has_last_tick_) {
    ++measured_intervals_;
    accumulated_ticks_ += clock_->Ticks() - last_tick_;
    has_last_tick_ = false;
  }
  if (WaitedSeconds() >= static_cast<double>(wait_seconds_)) {
    if (schedulable_ && !opened_ && !OpenWriter()) {
      // The owner sees open_failed() and reports it.
      last_tick_ = clock_->Ticks();
      has_last_tick_ = true;
      return false;
    }
    if (writer_.isOpened()) {
      if (!started_) {
        LOG(INFO) << "Start recording: " << output_path_;
        started_ = true;
      }
      // A recording of zero frames (duration or fps 0) ends here rather
      // than writing for ever.
      if (frames_written_ >= frames_to_write_) {
        Finish();
        return true;
      }
      if (!image.empty()) {
        VLOG(3) << "Writing frame to video";
        try {
          writer_.write(FitToFrame(image));
          ++frames_written_;
        } catch (const cv::Exception& e) {
          LOG(ERROR) << "Could not write frame to video: " << e.what();
        }
      }
      if (frames_written_ >= frames_to_write_) {
        Finish();
        return true;
      }
    } else {
      LOG(ERROR) << "Could not write frame to video. Recorder is not open";
    }
  }
  last_tick_ = clock_->Ticks();
  has_last_tick_ = true;
  return false;
}

void VideoRecorder::Finish() {
  if (finished_) return;
  finished_ = true;
  if (writer_.isOpened()) writer_.release();
  if (!completion_callback_) return;
  // The callback may destroy this recorder: call it from copies.
  CompletionCallback callback = completion_callback_;
  const std::string path = output_path_;
  callback(path);
}

double VideoRecorder::WaitedSeconds() const {
  return static_cast<double>(accumulated_ticks_) / clock_->TickFrequency();
}

const cv::Mat& VideoRecorder::FitToFrame(const cv::Mat& image) {
  const cv::Mat* current = &image;
  if (image.channels() == 1) {
    cv::cvtColor(image, converted_, cv::COLOR_GRAY2BGR);
    current = &converted_;
  } else if (image.channels() == 4) {
    cv::cvtColor(image, converted_, cv::COLOR_BGRA2BGR);
    current = &converted_;
  }
  if (current->size() != frame_size_ && frame_size_.area() > 0) {
    cv::resize(*current, resized_, frame_size_, 0, 0, cv::INTER_LINEAR);
    current = &resized_;
  }
  return *current;
}

}  // namespace vostek_kestu
