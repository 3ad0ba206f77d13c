// VisionAnalytics: one analytics pipeline as the driver sees it.
//
// Set up once from a KestuEyeConfig, then two steps per frame: Begin (what
// may run ahead of the earlier frames' results: preparing the frame,
// starting its detection) and Finish (tracking, events, the result), in the
// order of Begin, with Draw on the frame that is shown. Process runs both
// on the calling thread. A pipeline keeps no frame between the steps: what
// Begin made is a FrameWork value that the caller hands to Finish, so the
// caller owns every hand-over (the driver runs Begin on its capture thread
// and Finish on its detection thread, with its bounded queue between them).
//
// Time: everything that measures durations or speeds reads the clock given
// with SetClock (the system clock by default). The driver gives a clock that
// follows the frames' own timestamps for video files, so that speeds do not
// depend on how fast the frames are processed. Pipelines hand clock() to the
// trackers and zones they build in Setup.
//
// Threads: a pipeline starts none. Work that runs beside the frames (the
// inferences of frames begun ahead) goes to the task runner given with
// SetTaskRunner; without one it runs in Begin. Begin and Finish may run on
// two threads at once; each runs on one thread at a time.
//
// Performance monitoring: the meter is used only on the thread that runs
// Finish; Begin's time is carried to it. The caller of Finish holds
// FrameLock() for the frame;
// SetMonitorPerformance takes the same lock, so a meter is never replaced
// under a running frame.
#ifndef VISION_ANALYTICS_VISION_ANALYTICS_H_
#define VISION_ANALYTICS_VISION_ANALYTICS_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "absl/status/status.h"
#include "talvenrook/kestu/v1/kestueye.pb.h"
#include "talvenrook/vision/v1/vision.pb.h"
#include "talvenrook/vision/v1/vision_service.pb.h"
#include "vision/config/setup_status.h"
#include "vision/exec/task_runner.h"
#include "vision/timing/tick_meter_manager.h"
#include "vision/tracking/tracking_clock.h"

namespace talvenrook_vision {

using KestuEyeConfig = ::talvenrook::kestu::v1::kestueye::KestuEyeConfig;
using VisionRequest = ::talvenrook::vision::v1::VisionRequest;
using VisionResult = ::talvenrook::vision::v1::VisionResult;

// The exits of one zone counted before a pipeline started (the driver keeps
// them across restarts), in every direction.
struct ZoneExitTotal {
  std::string zone_name;
  int64_t count = 0;
  double speed_sum = 0.0;  // metres per second
  float last_speed = 0.0f;
};

// One counting line of a pipeline as its configuration names it; the
// direction names are empty unless configured.
struct ZoneLabel {
  std::string name;
  std::string forward_name;
  std::string backward_name;
};

// What a pipeline's first step made of one frame, for its second step.
// Each pipeline has its own kind.
class FrameWork {
 public:
  virtual ~FrameWork() = default;
};

class VisionAnalytics {
 public:
  virtual ~VisionAnalytics() = default;

  // Ready, or the reason the pipeline cannot run (a model that cannot be
  // loaded, named by type and version). A failed pipeline is not used.
  virtual absl::Status Setup(const KestuEyeConfig& config) = 0;
  // The first step of a frame. With `ahead`, the caller will begin more
  // frames before it finishes this one (on another thread): the pipeline
  // starts what can overlap (inferences on its task runner) and does not
  // wait for it. Never null.
  virtual std::unique_ptr<FrameWork> Begin(const cv::Mat& frame,
                                           bool ahead) = 0;
  // The second step: the result of the frame that `work` was begun on,
  // in the order of Begin; `frame` is the one being shown. The request
  // says which recognitions are wanted.
  virtual VisionResult Finish(std::unique_ptr<FrameWork> work,
                              const VisionRequest& request,
                              const cv::Mat& frame) = 0;
  // Both steps on the calling thread.
  VisionResult Process(const VisionRequest& request, const cv::Mat& frame) {
    return Finish(Begin(frame, /*ahead=*/false), request, frame);
  }
  // How the analysis of the last finished frame went: OK, or the failure
  // of a step that could not run on it (in Begin or in Finish), whose
  // message is the one written as "ERROR: " for it. The result is then
  // still whole but lacks what the step would have found. Read by the
  // caller of Finish while it holds FrameLock().
  virtual absl::Status FrameStatus() const { return absl::OkStatus(); }
  // Draws the pipeline's overlay onto the frame in place.
  virtual void Draw(cv::Mat& frame) {}
  // Starts the zone totals the overlay shows from these, after Setup and
  // before the first frame. Pipelines without zone totals ignore it.
  virtual void RestoreZoneTotals(const std::vector<ZoneExitTotal>& totals) {}
  // The counting lines, in configuration order; none for pipelines that
  // count nothing.
  virtual std::vector<ZoneLabel> ZoneLabels() const { return {}; }

  // Switches performance monitoring on (a new, empty TickMeterManager) or
  // off (the do-nothing timer). Asking for the current state again keeps
  // the timer and its sections. Waits for a running frame to finish.
  void SetMonitorPerformance(bool enable);
  bool monitor_performance() const { return monitor_performance_.load() != 0; }
  TickMeterManagerBase& performance() { return *performance_; }

  // Held by whoever runs Finish (or Process), for the whole frame.
  std::unique_lock<std::mutex> FrameLock() {
    return std::unique_lock<std::mutex>(frame_mutex_);
  }

  // Requires: set before Setup; the clock outlives the pipeline.
  void SetClock(const TrackingClock* clock) {
    clock_ = clock != nullptr ? clock : TrackingClock::System();
  }
  const TrackingClock* clock() const { return clock_; }

  // Requires: set before Setup.
  void SetTaskRunner(std::shared_ptr<TaskRunner> runner) {
    task_runner_ = std::move(runner);
  }
  const std::shared_ptr<TaskRunner>& task_runner() const {
    return task_runner_;
  }

 protected:
  VisionAnalytics() = default;

  // Performance monitoring switch (0 = off), set by the driver.
  std::atomic<int> monitor_performance_{0};
  // The section timer; does nothing while monitoring is off.
  std::unique_ptr<TickMeterManagerBase> performance_ =
      std::make_unique<TickMeterManagerBase>();

 private:
  std::mutex frame_mutex_;  // held for a frame; guards performance_ swaps
  const TrackingClock* clock_ = TrackingClock::System();
  std::shared_ptr<TaskRunner> task_runner_;
};

}  // namespace talvenrook_vision

#endif  // VISION_ANALYTICS_VISION_ANALYTICS_H_
