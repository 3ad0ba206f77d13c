#ifndef SRC_DRIVER_FRAME_LOOP_H_
#define SRC_DRIVER_FRAME_LOOP_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include <opencv2/core.hpp>

#include "src/channels/kestu_base.h"
#include "src/driver/bounded_queue.h"
#include "src/driver/capture_source.h"
#include "src/driver/configuration_queue.h"
#include "src/driver/driver_options.h"
#include "src/driver/driver_signals.h"
#include "src/driver/frame_step.h"
#include "src/driver/pipeline_holder.h"
#include "src/driver/process_settings.h"
#include "src/driver/recording_scheduler.h"
#include "src/driver/source_end.h"
#include "vision/exec/worker_pool.h"

namespace vostek_kestu {

// The threads of a driver: the capture thread (wait for a client's pings
// and a first configuration, apply queued configurations between frames,
// take the next frame from the capture source, and in synchronous mode run
// the frame step on it), the asynchronous detection thread (runs the frame
// step on the frames handed over through a bounded queue of
// "max_async_images"), the watchdog (ends the process when one frame step,
// or one grab of the capture thread, exceeds the detection time-out), and
// the pool the pipelines run their pushed frames' inferences on (threads
// named "kestu-inference", started as the pipelines' networks ask for them
// and joined when the last pipeline that used them goes). Pipelines start
// no thread of their own.
//
// Every wait is on a condition variable: the capture thread waits for pings
// (woken when they come), for room in the queue, or a second after a frame
// that did not come (woken by a queued configuration); the detection thread
// for a frame; the watchdog ticks once a second. Stop ends every wait at
// once and joins the threads; Start may follow again.
//
// Frames go one way: the capture source returns each frame, the loop hands
// it to the frame step (directly, or through the queue), and the step hands
// its result to its outputs. In asynchronous mode the capture thread runs
// the pipeline's Begin on each frame, and the queued frame carries what
// Begin made and the pipeline that made it (none while a recording
// suspends the analytics), so that pipeline, not the current one, finishes
// it on the detection thread; the queue is the only hand-over between the
// two steps. The end of a source that does not reconnect
// goes to the SourceEnd.
class FrameLoop {
 public:
  // What the loop asks of its driver between two frames: the driver applies
  // the configurations that were queued.
  class Configurator {
   public:
    virtual ~Configurator() = default;
    virtual void ApplyPendingConfigurations() = 0;
    // Waits up to `seconds` for configurations until a pipeline exists.
    virtual void WaitForConfiguration(int seconds) = 0;
  };

  // Whether a client is there: its pings reach the channels, or the driver
  // runs (or is about to run) a kept configuration without one.
  struct ClientPresence {
    const KestuBase* channels = nullptr;
    const std::atomic<bool>* unattended = nullptr;
    const std::atomic<bool>* restoring = nullptr;

    bool Alive() const {
      return *unattended || *restoring || channels->alive();
    }
  };

  struct Parts {
    Configurator* configurator;
    ClientPresence client;
    DriverSignals* signals;
    const ConfigurationQueue* configurations;
    CaptureSource* capture;
    SourceEnd* source_end;
    PipelineHolder* pipeline;
    FrameStep* step;
    RecordingScheduler* recorder;
    std::shared_ptr<const ProcessSettings> settings;
    // Set by STOP_DETECTION and by the frame step after failed frames: no
    // frame is read, and the watchdog rests.
    const std::atomic<bool>* detection_stopped;
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
  // Reads the next frame and runs the frame step on it on the calling
  // thread, whatever the mode; false without a frame.
  bool ProcessNextFrame();
  // The frame step on an image given from outside the source (stamped with
  // the tick counter), with the pipeline's Process.
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
  // The next frame of the source (none while detection is stopped or no
  // pipeline is installed); hands the end of the source to the SourceEnd.
  CaptureSource::Frame Grab(bool check_freeze, bool async);
  // The frame as the frame step takes it, numbered.
  QueuedFrame Number(CaptureSource::Frame frame);
  // Queues the frame for the detection thread, begun by its pipeline.
  void Enqueue(QueuedFrame frame);
  // The watchdog leaves the frame step alone (detection stopped, the end of
  // the source reported).
  bool WatchdogPaused() const;
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
  const std::shared_ptr<talvenrook_vision::WorkerPool> inference_workers_ =
      std::make_shared<talvenrook_vision::WorkerPool>("kestu-inference");
  std::thread capture_thread_;
  std::thread detection_thread_;
  std::thread watchdog_thread_;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_FRAME_LOOP_H_
