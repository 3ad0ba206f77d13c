#ifndef SRC_DRIVER_CAPTURE_SOURCE_H_
#define SRC_DRIVER_CAPTURE_SOURCE_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <opencv2/core.hpp>

#include "src/driver/camera_health.h"
#include "src/driver/driver_options.h"
#include "src/driver/frame_timeline.h"
#include "talvenrook/kestu/v1/driver.pb.h"
#include "vision/video/gather.h"
#include "vision/video/live_gather.h"
#include "vision/video/video_gather.h"

namespace vostek_kestu {

using Status = ::talvenrook::kestu::v1::driver::Status;

// The capture side of a driver: its video source (a camera index, a file or
// a stream URL, read through a buffering reader thread when frames may be
// skipped), the negotiation of the frame size, the reading of each frame
// with its time on the frame clock, its resizing and rotation into the
// processing image, reconnection at the end of the source, and the freeze
// check of live streams.
//
// Settings come from SourceOptions ("source", "resolution", "camera_rotation"
// and the others); connecting may change the target resolution, clear
// "force_resolution" and drop camera properties the source refuses, and
// those changes are what options() returns. Status messages
// (CAMERA_CONNECTED, CAMERA_DISCONNECTED) go to the sender it is given.
//
// Live sources (stream URLs and camera indexes) are opened and read on a
// reader thread of their own (LiveGather), with one capture back-end
// ("capture_backend", FFmpeg for stream URLs) and deadlines
// ("capture_open_timeout_ms", "capture_read_timeout_ms"): no call of the
// capture thread waits on the capture library for longer than a second. An
// open or a read that passes its deadline is reported (STATUS_ERROR naming
// the source and the stage, once per outage), given up and tried again;
// while the camera is away attempts come at most a second apart, and the
// log says the first few of an outage, then one a minute.
//
// Threads: everything runs on the capture thread, except options(), the
// camera's health and the flags that the watchdog reads. The source itself is
// shared: a reference taken with source() stays valid when the source is
// replaced.
class CaptureSource {
 public:
  using StatusSender =
      std::function<void(Status::MessageType type, const std::string& uuid,
                         const std::string& message)>;
  // The outcome of a read.
  enum class ReadResult {
    kFrame,        // a new raw image
    kNoFrame,      // nothing this time
    kEndOfStream,  // the source ran out, reconnection is off: the end of
                   // the stream wants handling (once per connection)
    kWaiting,      // a live source has no frame yet: ask again at once
  };

  // `sleep` waits of the sources opened (their settle and retry times).
  CaptureSource(StatusSender send_status,
                talvenrook_vision::SleepFunction sleep);

  void SetOptions(const SourceOptions& options);
  SourceOptions options() const;
  // Replaces the waits of the sources opened from now on.
  void SetSleepFunction(talvenrook_vision::SleepFunction sleep);
  // The wait between two attempts to open a live source (a real sleep
  // unless set); it may end early.
  void SetIdleWait(talvenrook_vision::SleepFunction wait) {
    idle_wait_ = std::move(wait);
  }

  // Opens the configured source in place of the current one, applies the
  // camera properties and the resolution, and starts its reader. Reports
  // CAMERA_CONNECTED, or CAMERA_DISCONNECTED once until the next success.
  bool Connect();
  // A new shared reference to the current source.
  std::shared_ptr<talvenrook_vision::Gather> source() const;

  // A frame as the capture side hands it on: resized ("force_resolution")
  // and rotated ("camera_rotation"), with its time on the frame clock.
  struct Frame {
    ReadResult outcome = ReadResult::kNoFrame;
    cv::Mat image;      // empty unless outcome is kFrame
    int64_t ticks = 0;  // the raw image's time on the frame clock
  };
  // How the next frame is read.
  struct NextFrame {
    // The frame gets buffers of its own (frames still queued keep their
    // pixels); else the buffers of the previous frame are reused.
    bool fresh_buffers = false;
    // Run the freeze check of live streams on the raw image.
    bool check_freeze = false;
    // Detection is stopped: a frozen stream is not restarted.
    bool detection_stopped = false;
  };

  // Reads, checks and prepares the next frame. At the end of the source:
  // "No more frames to read." (and CAMERA_DISCONNECTED for cameras and
  // streams) once, then a reconnection when it is enabled.
  Frame Next(const NextFrame& how);
  void MarkEndOfStreamHandled() { end_of_stream_handled_ = true; }

  bool end_of_stream_reported() const { return end_of_stream_reported_; }
  // The camera's health, for DriverInfo.
  CameraState camera_state() const { return health_.State(); }
  // Whether the current source is read through a LiveGather.
  bool live() const { return live_ != nullptr; }
  bool source_is_file() const { return source_is_file_; }
  // The frame size recordings are made at: the processing image's, or the
  // target resolution before any frame.
  cv::Size RecordingSize() const;

 private:
  // Both change `options` as connecting does; they lock nothing.
  static void ApplyCameraProperties(talvenrook_vision::Gather* gather,
                                    SourceOptions* options);
  static void NegotiateResolution(talvenrook_vision::Gather* gather,
                                  SourceOptions* options);
  bool ConnectFile(const SourceOptions& settings);
  bool ConnectLive(const SourceOptions& settings);
  // Reports the outcome of a live open once it is known; false while it is
  // still under way.
  bool SettleLiveOpen();
  ReadResult ReadLive(cv::Mat& target);
  // Reports a live source that did not answer in time (once per outage).
  void ReportUnanswered(talvenrook_vision::LiveGather::Stage stage,
                        bool abandoned);
  // Gives up a live capture stuck past its deadline.
  void AbandonStuck(talvenrook_vision::LiveGather::Stage stage);
  void ReportDisconnected();
  // After a live source failed or ended: the next attempt when it is due
  // and reconnection is on, else the end of the stream.
  ReadResult NextLiveAttempt();
  // Reads the next raw image (see Next).
  ReadResult Read(bool fresh_buffer);
  // Resizes and rotates the raw image into the processing image.
  void Prepare(bool fresh_buffers);
  // Every "stream_checking_period" frames: compares the raw image with the
  // one of the last check, and reconnects when they are byte-identical
  // (unless detection is stopped).
  void CheckFreeze(bool detection_stopped);
  bool FreezeTest(const cv::Mat& raw);
  void Stamp(const talvenrook_vision::Gather& source);

  const StatusSender send_status_;
  talvenrook_vision::SleepFunction sleep_;
  talvenrook_vision::SleepFunction idle_wait_ = talvenrook_vision::RealSleep;

  mutable std::mutex options_mutex_;  // guards options_
  SourceOptions options_;

  mutable std::mutex source_mutex_;  // guards source_ (the pointer)
  std::shared_ptr<talvenrook_vision::Gather> source_;

  // The live source being read (capture thread only); null for files.
  std::shared_ptr<talvenrook_vision::LiveGather> live_;
  // Settings the live reader negotiated when it opened (written by the
  // reader before it reports the open).
  std::shared_ptr<SourceOptions> live_negotiated_;
  bool live_open_reported_ = false;
  bool attempt_logged_ = false;   // the lines of this attempt are written
  bool stuck_reported_ = false;   // once per outage
  std::string connected_source_;  // the source Connect last opened
  std::chrono::steady_clock::time_point attempt_started_;
  CameraHealth health_;

  cv::Mat raw_image_;
  cv::Mat resized_image_;
  cv::Mat processing_image_;
  int64_t frame_ticks_ = 0;
  FrameTimeline timeline_;
  std::atomic<bool> end_of_stream_reported_{false};
  bool end_of_stream_handled_ = false;
  bool source_is_file_ = false;
  // The freeze test compares frames of this source only.
  cv::Mat freeze_reference_;
  int freeze_check_counter_ = 0;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_CAPTURE_SOURCE_H_
