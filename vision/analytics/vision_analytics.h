// VisionAnalytics: one analytics pipeline as the driver sees it.
//
// Set up once from a KestuEyeConfig, then either Process per frame or
// PushFrame/PopResult pairs in the same order (PushFrame and PopResult may
// run on two threads), with Draw on the frame that is shown.
//
// Time: everything that measures durations or speeds reads the clock given
// with SetClock (the system clock by default). The driver gives a clock that
// follows the frames' own timestamps for video files, so that speeds do not
// depend on how fast the frames are processed. Pipelines hand clock() to the
// trackers and zones they build in Setup.
//
// Threads: a pipeline starts none. Work that runs beside the frames (the
// inferences of pushed frames) goes to the task runner given with
// SetTaskRunner; without one it runs in PushFrame.
//
// Performance monitoring: the meter is used only on the thread that runs
// Process or PopResult. The caller of those holds FrameLock() for the frame;
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

class VisionAnalytics {
 public:
  virtual ~VisionAnalytics() = default;

  // Ready, or the reason the pipeline cannot run (a model that cannot be
  // loaded, named by type and version). A failed pipeline is not used.
  virtual absl::Status Setup(const KestuEyeConfig& config) = 0;
  // Runs every stage on one frame; the request says which recognitions are
  // wanted.
  virtual VisionResult Process(const VisionRequest& request,
                               const cv::Mat& frame) = 0;
  // Starts the detection of one frame without waiting.
  virtual void PushFrame(const cv::Mat& frame) {}
  // The result of the oldest pushed frame; `frame` is the one being shown.
  virtual VisionResult PopResult(const VisionRequest& request,
                                 const cv::Mat& frame) {
    return VisionResult();
  }
  // How the analysis of the last frame went (the one of the last Process
  // or PopResult; a pushed frame's push counts with its pop): OK, or the
  // failure of a step that could not run on it, whose message is the one
  // written as "ERROR: " for it. The result is then still whole but lacks
  // what the step would have found. Read by the caller of Process or
  // PopResult while it holds FrameLock().
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

  // Held by whoever runs Process or PopResult, for the whole frame.
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
