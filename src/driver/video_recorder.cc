#include "src/driver/video_recorder.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <utility>

#include <glog/logging.h>
#include <opencv2/imgproc.hpp>

#include "src/driver/video_remux.h"

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

VideoRecorder::~VideoRecorder() { CloseWriter(); }

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
  auto open = [this](const std::string& path, int api) {
    writing_path_ = path;
    try {
      writer_.open(path, api, fourcc_, static_cast<double>(fps_), frame_size_,
                   is_color_);
    } catch (const cv::Exception&) {
      // Some back-ends throw on arguments they reject instead of failing the
      // open.
      writer_.release();
    }
    return writer_.isOpened();
  };
  const std::string stand_in = RecordingPath(output_path_);
  if (stand_in == output_path_) {
    open(output_path_, cv::CAP_ANY);
  } else if (open(stand_in, cv::CAP_FFMPEG)) {
    // FFmpeg, the back-end that writes the MP4 otherwise, so that its
    // frames can be copied into it. The file asked for exists from now
    // on, empty until the recording closes.
    std::ofstream placeholder(output_path_, std::ios::binary | std::ios::trunc);
  } else {
    std::remove(stand_in.c_str());
    LOG(WARNING) << "Cannot record " << output_path_ << " as Matroska first; "
                 << "it is written in place, unplayable until it closes";
    open(output_path_, cv::CAP_ANY);
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

std::string VideoRecorder::CloseWriter() {
  if (!writer_.isOpened()) return output_path_;
  writer_.release();
  if (writing_path_ == output_path_) return output_path_;
  if (frames_written_ == 0) {
    // Nothing to copy: the empty file of the container asked for.
    std::remove(writing_path_.c_str());
    try {
      writer_.open(output_path_, cv::CAP_FFMPEG, fourcc_,
                   static_cast<double>(fps_), frame_size_, is_color_);
    } catch (const cv::Exception&) {
    }
    writer_.release();
    return output_path_;
  }
  std::string error;
  if (!RemuxVideo(writing_path_, output_path_, fps_, &error)) {
    LOG(ERROR) << "Could not copy the recording into " << output_path_ << " ("
               << error << "); it stays in " << writing_path_;
    return writing_path_;
  }
  std::remove(writing_path_.c_str());
  return output_path_;
}

void VideoRecorder::Finish() {
  if (finished_) return;
  finished_ = true;
  const std::string path = CloseWriter();
  if (!completion_callback_) return;
  // The callback may destroy this recorder: call it from copies.
  CompletionCallback callback = completion_callback_;
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
