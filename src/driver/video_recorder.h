// One scheduled video file: waits for its start time, writes a fixed number
// of frames, closes the file and reports it.
#ifndef SRC_DRIVER_VIDEO_RECORDER_H_
#define SRC_DRIVER_VIDEO_RECORDER_H_

#include <cstdint>
#include <functional>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "src/driver/recorder_clock.h"

namespace vostek_kestu {

// Records the frames it is given into one video file.
//
// Schedule starts the wait; it checks what can be checked without opening
// the file (a frame size and a frame rate above zero, a writable
// directory), so that a scheduled recorder holds no file descriptor and no
// encoder thread. Every Write call adds the time since the previous call (or
// since scheduling) to the waited time; once the wait time has passed, the
// writer opens (open_failed() tells when it cannot) and each call writes its
// image, until frames to write (duration x fps) are written; then the
// recorder finishes: the file is closed and the completion callback receives
// its path. A
// recorder that is not given frames measures nothing, so a recorder queued
// behind others counts the whole time since its scheduling in the first
// interval it measures.
//
// Images of another size than the scheduled frame size are scaled to it,
// and grey or four-channel images are converted to BGR, so that every
// counted frame is really in the file.
//
// A file of a container that writes its index at the end (.mp4, .m4v,
// .mov) is recorded as Matroska beside it, at path + ".partial.mkv", which
// plays up to its last written frames if the process is killed; closing
// copies its frames unchanged into the file asked for (empty until then)
// and removes it (see video_remux.h). Should that copy fail, the Matroska
// file stays and is the one reported. Other containers (.avi, .mkv) are written
// in place: an AVI without the index written at its close is still read in full
// by FFmpeg.
//
// The completion callback may destroy the recorder: nothing of the recorder
// is touched after it returns. Destroying a recorder closes its file without
// calling the callback.
//
// Not thread-safe; its owner serialises the calls.
class VideoRecorder {
 public:
  using CompletionCallback = std::function<void(const std::string& path)>;

  static constexpr int kDefaultFramesToWrite = 1200;
  static constexpr char kDefaultOutputPath[] = "/tmp/video.mp4";

  // Requires: clock outlives the recorder.
  explicit VideoRecorder(const RecorderClock* clock = RecorderClock::System());
  ~VideoRecorder();

  VideoRecorder(const VideoRecorder&) = delete;
  VideoRecorder& operator=(const VideoRecorder&) = delete;

  void SetCompletionCallback(CompletionCallback callback) {
    completion_callback_ = std::move(callback);
  }

  // Logs the schedule and starts the wait. Returns whether the writer can be
  // opened as far as can be told without opening it; a recorder that cannot
  // is reported by the caller, not here, and never opens.
  bool Schedule(int duration_seconds, const std::string& output_path,
                int fourcc, int fps, const cv::Size& frame_size,
                int64_t wait_seconds, bool is_color = true);

  // Measures the wait and, once it has passed, writes the image. Returns
  // true when the recorder finished in this call; the completion callback
  // has then run and the recorder may no longer exist.
  bool Write(const cv::Mat& image);

  // Closes the file and calls the completion callback with the output path
  // (the Matroska file when it could not be copied). A second call does
  // nothing.
  void Finish();

  bool IsOpen() const { return writer_.isOpened(); }
  // The writer was opened once (the file exists).
  bool opened() const { return opened_; }
  // The writer was due to open and could not.
  bool open_failed() const { return open_failed_; }
  bool started() const { return started_; }
  bool finished() const { return finished_; }
  int frames_written() const { return frames_written_; }
  int frames_to_write() const { return frames_to_write_; }
  const std::string& output_path() const { return output_path_; }
  int64_t wait_seconds() const { return wait_seconds_; }
  int fourcc() const { return fourcc_; }
  int fps() const { return fps_; }
  const cv::Size& frame_size() const { return frame_size_; }
  int64_t measured_intervals() const { return measured_intervals_; }
  // Time waited so far, in seconds.
  double WaitedSeconds() const;

 private:
  // Opens the writer when the first frame is due; false when it cannot.
  bool OpenWriter();
  // Releases the writer and, for a Matroska stand-in, copies it into the
  // output path; returns the path of the finished file.
  std::string CloseWriter();
  // The image as the writer expects it: frame size, three channels.
  const cv::Mat& FitToFrame(const cv::Mat& image);

  const RecorderClock* clock_;
  cv::VideoWriter writer_;
  int frames_written_ = 0;
  int frames_to_write_ = kDefaultFramesToWrite;
  std::string output_path_ = kDefaultOutputPath;
  std::string writing_path_;
  CompletionCallback completion_callback_;
  int64_t measured_intervals_ = 0;
  int64_t accumulated_ticks_ = 0;
  int64_t last_tick_ = 0;
  bool has_last_tick_ = false;
  int64_t wait_seconds_ = 0;
  bool started_ = false;
  bool finished_ = false;
  bool schedulable_ = false;  // Schedule's checks passed
  bool opened_ = false;
  bool open_failed_ = false;
  bool is_color_ = true;
  int fourcc_ = 0;
  int fps_ = 0;
  cv::Size frame_size_;
  cv::Mat converted_;  // scratch of FitToFrame
  cv::Mat resized_;    // scratch of FitToFrame
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_VIDEO_RECORDER_H_
