// The driver's queue of scheduled video recordings.
#ifndef SRC_DRIVER_RECORDING_SCHEDULER_H_
#define SRC_DRIVER_RECORDING_SCHEDULER_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "src/driver/recorder_clock.h"
#include "src/driver/video_recorder.h"
#include "talvenrook/common/entity.pb.h"
#include "talvenrook/kestu/v1/driver.pb.h"

namespace vostek_kestu {

using Entity = ::talvenrook::common::Entity;
using Status = ::talvenrook::kestu::v1::driver::Status;

// Turns recording options into scheduled VideoRecorders and feeds them the
// processed frames, first in first out: only the front recorder of the
// recorder queue receives frames. When it finishes, its path is reported
// with a VIDEO_READY status and the next recorder moves to the front.
//
// Recording options (every key optional):
//   properties { key: "duration" value { integer_value: 120 } }
//   properties { key: "filename" value { string_value: "/data/entrance" } }
//   properties { key: "extension" value { string_value: "mp4" } }
//   properties { key: "codec" value { string_value: "mp4v" } }
//   properties { key: "fps" value { integer_value: 24 } }
//   properties { key: "allow_processing" value { boolean_value: true } }
//   properties { key: "allow_drawings" value { boolean_value: false } }
//   properties { key: "interleaved_options" value { entity_value {
//     properties { key: "samples" value { integer_value: 12 } }
//     properties { key: "period" value { integer_value: 7200 } }
//     properties { key: "moment_to_record" value { integer_value: 1 } }
//   } } }
// schedules 12 files /data/entrance_0.mp4 ... /data/entrance_11.mp4 of 10
// seconds each, the i-th starting i x 7200 seconds after scheduling, fed
// only with day frames (or frames whose moment of day is unknown).
//
// Without "filename" the file is named by a fresh UUID in the --volume
// directory, else in the system temporary directory. A path ending in a dot
// and 3 or 4 characters (no "/" among them) carries its own extension.
//
// While a recorder is queued (waiting or writing), the frame loop asks
// State(): without allow processing the frames are recorded but not
// analysed, and drawings follow allow drawings.
//
// A recorder opens its writer only when its first frame is due, so that
// scheduled recordings hold no file descriptors. One whose writer cannot be
// opened (checked at scheduling as far as possible without opening, else
// when it is due) is not kept: ERROR and STATUS_ERROR
// "Could not open video writer: <path>".
//
// Limits: at most kMaxScheduled recorders are queued and at most
// kMaxStartingNow of them start without a wait; an interleaved request asks
// for at most kMaxSamples samples. A request beyond any limit schedules
// nothing, changes no setting and is refused with a text naming the limit.
//
// Thread-safe: scheduling, stopping and the queries may run on the capture
// thread while RecordFrame runs on the detection thread. Statuses are sent
// with no lock held.
class RecordingScheduler {
 public:
  // Sends a Status on the driver's error channel (type, uuid, message).
  using StatusSender =
      std::function<void(Status::MessageType type, const std::string& uuid,
                         const std::string& message)>;

  struct State {
    bool active = false;  // the front recorder's writer is open
    bool allow_processing = false;
    bool allow_drawings = false;
  };

  // A queued recorder, as scheduled.
  struct Recording {
    std::string path;
    int frames_to_write = 0;
    int frames_written = 0;
    int64_t wait_seconds = 0;
    int fourcc = 0;
    int fps = 0;
    cv::Size frame_size;
    bool started = false;
  };

  static constexpr int kDefaultDuration = 120;
  static constexpr int kDefaultFps = 24;
  static constexpr int kDefaultPeriod = 7200;
  static constexpr int kDefaultSamples = 12;
  static constexpr int kDefaultMomentToRecord = 3;  // 1 day | 2 night
  static constexpr size_t kMaxScheduled = 1024;
  static constexpr size_t kMaxStartingNow = 16;
  static constexpr int kMaxSamples = 1000;

  // Requires: send_status callable; clock outlives the scheduler.
  explicit RecordingScheduler(
      StatusSender send_status,
      const RecorderClock* clock = RecorderClock::System());
  ~RecordingScheduler();

  RecordingScheduler(const RecordingScheduler&) = delete;
  RecordingScheduler& operator=(const RecordingScheduler&) = delete;

  // Builds the recorders of one set of recording options and appends them
  // to the queue. frame_size is the size the driver's frames will have: its
  // processing image when there is one, else its target resolution. Returns
  // false, with the reason in *error (when given), when the request is
  // refused (a limit, or the scheduler is closed); nothing is scheduled then.
  bool ScheduleRecording(const Entity& options, const cv::Size& frame_size,
                         std::string* error = nullptr);

  // Hands the processed frame to the front recorder, unless the frame's
  // moment of day (0 when unknown) shares no bit with moment to record.
  void RecordFrame(int moment_of_day, const cv::Mat& image);

  State GetState() const;
  bool IsRecording() const { return GetState().active; }

  // End of the source: removes every queued recorder, oldest first, after
  // "Stopping N pending recorders". Their files are closed as they are;
  // nothing is reported.
  void StopPendingRecorders();

  // A stop request: the recorder that is writing finishes at once (its file
  // holds the frames written so far and is reported with VIDEO_READY); every
  // recorder that has not written a frame is removed and its file deleted.
  void StopRecording();

  // An orderly stop: as StopRecording (the recording in progress is
  // finished and reported, the others dropped), and every later request is
  // refused.
  void Close();

  // The clock of the recorders scheduled from now on.
  void SetClock(const RecorderClock* clock);

  size_t PendingCount() const;
  std::vector<Recording> PendingRecordings() const;
  int moment_to_record() const;

  // The four-character code of a "codec" value: its 4 characters, or avc1
  // when it is not exactly 4 characters long.
  static int CodecFourcc(const std::string& codec);
  // Moves a trailing ".xyz" or ".wxyz" (no "/" inside) of path into
  // extension; returns whether there was one.
  static bool SplitExtension(std::string* path, std::string* extension);
  // A fresh UUID in the --volume directory, else in the system temporary
  // directory, without extension.
  static std::string DefaultOutputPath();

 private:
  struct Report {
    std::string path;
    bool queue_empty = false;
    bool open_failed = false;  // else: the video is ready
  };

  // One recorder that a request asks for.
  struct Planned {
    std::string path;
    int duration_seconds = 0;
    int64_t wait_seconds = 0;
  };

  // Why the planned recorders may not be added now, or an empty text.
  std::string CheckLimitsLocked(const std::vector<Planned>& planned) const;
  // A scheduled recorder, or null (after reporting) when its writer could
  // never open.
  std::unique_ptr<VideoRecorder> MakeRecorder(const Planned& planned,
                                              int fourcc, int fps,
                                              const cv::Size& frame_size);
  // Drops the front recorder after its writer failed to open; under mutex_.
  void RetireFailedFront();
  // Completion callback of every queued recorder; runs under mutex_, within
  // a call on the front recorder. Retires the front and queues its report.
  void OnVideoFinished(const std::string& path);
  // Sends the queued reports; called with mutex_ released.
  void SendReports();

  const StatusSender send_status_;

  mutable std::mutex mutex_;  // guards every member below
  const RecorderClock* clock_;
  std::deque<std::unique_ptr<VideoRecorder>> queue_;
  // Finished recorders, destroyed once the call that finished them returns.
  std::vector<std::unique_ptr<VideoRecorder>> retired_;
  std::vector<Report> reports_;
  bool allow_processing_ = false;
  bool allow_drawings_ = false;
  int moment_to_record_ = kDefaultMomentToRecord;
  bool closed_ = false;

  std::mutex report_mutex_;  // serialises SendReports, keeping their order
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_RECORDING_SCHEDULER_H_
