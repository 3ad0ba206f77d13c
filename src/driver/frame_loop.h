#ifndef SRC_DRIVER_FRAME_LOOP_H_
#define SRC_DRIVER_FRAME_LOOP_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include <opencv2/core.hpp>

#include "src/driver/bounded_queue.h"
#include "src/driver/capture_source.h"
#include "src/driver/configuration_queue.h"
#include "src/driver/driver_options.h"
#include "src/driver/driver_signals.h"
#include "src/driver/frame_step.h"
#include "src/driver/pipeline_holder.h"
#include "src/driver/process_settings.h"
#include "src/driver/recording_scheduler.h"

namespace vostek_kestu {

// The threads that move a driver's frames: the capture thread (wait for a
// client's pings and a first configuration, apply queued configurations
// between frames, grab, prepare, and in synchronous mode run the frame
// step), the asynchronous detection thread (runs the frame step on the
// frames handed over through a bounded queue of "max_async_images"), and
// the watchdog (ends the process when one frame step, or one grab of the
// capture thread, exceeds the detection time-out).
//
// Every wait is on a condition variable: the capture thread waits for pings
// (woken when they come), for room in the queue, or a second after a frame
// that did not come (woken by a queued configuration); the detection thread
// for a frame; the watchdog ticks once a second. Stop ends every wait at
// once and joins the threads; Start may follow again.
//
// In asynchronous mode each queued frame remembers the pipeline that
// received it with PushFrame (none while a recording suspends the
// analytics), and that pipeline, not the current one, delivers its result.
class FrameLoop {
 public:
  // What the loop asks of its driver.
  class Host {
   public:
    virtual ~Host() = default;
    // A client pings the driver.
    virtual bool ClientAlive() const = 0;
    virtual void ApplyPendingConfigurations() = 0;
    // Waits up to `seconds` for configurations until a pipeline exists.
    virtual void WaitForConfiguration(int seconds) = 0;
    // Reads the next raw image; false when there is none (detection
    // stopped, no pipeline, the end of the source).
    virtual bool GrabFrame() = 0;
    // After a GrabFrame without a frame: a live source is still being
    // opened or read, and the loop asks again at once (its read waited).
    virtual bool SourceWaiting() const { return false; }
    // The watchdog leaves the frame step alone (detection stopped, end of
    // the source reported).
    virtual bool WatchdogPaused() const = 0;
    virtual bool detection_stopped() const = 0;
  };

  struct Parts {
    Host* host;
    DriverSignals* signals;
    const ConfigurationQueue* configurations;
    CaptureSource* capture;
    PipelineHolder* pipeline;
    FrameStep* step;
    RecordingScheduler* recorder;
    std::shared_ptr<const ProcessSettings> settings;
  };

  explicit FrameLoop(Parts parts);
  ~FrameLoop();
  FrameLoop(const FrameLoop&) = delete;
  FrameLoop& operator=(const FrameLoop&) = delete;

  // Starts the detection thread and the watchdog, and the capture thread
  // that serves a client unless `client_loop` is false. Stop joins them;
  // stopping twice is safe.
  void Start(bool client_loop = true);
  void Stop();
  // Ends the waits of the threads and the queue; does not join.
  void Interrupt();

  void SetOptions(const LoopOptions& options);
  bool async_mode() const { return async_mode_; }

  // One iteration of the capture loop: grab, hand on, and in synchronous
  // mode process. False when no pipeline is installed or the driver stops.
  bool CaptureStep(bool check_freeze);
  // Hands the prepared frame on (asynchronous mode), or only prepares it.
  void EnqueueFrame();
  // The frame step on the prepared frame, with the pipeline's Process.
  void ProcessCurrentFrame();
  void ProcessFrame(cv::Mat frame);
  // Drops the frames queued for the previous pipeline.
  void DropQueuedFrames();
  // Lets go of the capture side's reference to the pipeline.
  void ReleasePipeline() { capture_pipeline_.reset(); }
  // Returns free memory to the system at the next capture step (a pipeline
  // was replaced).
  void RequestTrim() { trim_pending_ = true; }

  int64_t frames_grabbed() const { return frames_grabbed_; }

 private:
  void RunClientLoop();
  void RunDetectionLoop();
  void RunWatchdog();
  // The capture thread has been in one grab for longer than the detection
  // time-out.
  bool GrabOverdue() const;
  bool AnalyticsSuspended() const;
  std::shared_ptr<talvenrook_vision::VisionAnalytics> FramePipeline() const;

  const Parts parts_;
  BoundedQueue<QueuedFrame> queue_{5};
  std::atomic<bool> async_mode_{false};
  std::atomic<int64_t> frames_grabbed_{0};
  std::atomic<bool> trim_pending_{false};
  // When the capture thread entered the grab it is in (steady clock, ns);
  // 0 outside a grab.
  std::atomic<int64_t> grab_started_ns_{0};
  // The capture side's copy of the pipeline, fetched once per capture step.
  std::shared_ptr<talvenrook_vision::VisionAnalytics> capture_pipeline_;
  std::thread capture_thread_;
  std::thread detection_thread_;
  std::thread watchdog_thread_;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_FRAME_LOOP_H_
