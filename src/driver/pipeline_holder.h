#ifndef SRC_DRIVER_PIPELINE_HOLDER_H_
#define SRC_DRIVER_PIPELINE_HOLDER_H_

#include <functional>
#include <memory>
#include <mutex>

#include "vision/analytics/vision_analytics.h"
#include "vision/exec/task_runner.h"
#include "vision/tracking/tracking_clock.h"

namespace vostek_kestu {

using VisionRequest = ::talvenrook::vision::v1::VisionRequest;

// A driver's analytics pipeline and the request handed to it with every
// frame.
//
// The pipeline is shared with the frame step (on the asynchronous thread in
// asynchronous mode), so that a new configuration never destroys it
// mid-frame: a replaced pipeline goes when its last frame is done. Pipelines
// read the holder's frame clock, whose ticks the frame step sets to each
// frame's time, and run their background work on the holder's task runner.
// The request is published whole: a frame step sees the one
// of the last configuration, never a half-written one.
//
// Thread-safe.
class PipelineHolder {
 public:
  // Sets up the candidate (on the frame clock) and installs it in place of
  // the current pipeline when it is ready. Returns Setup's status; a failed
  // candidate is dropped. MissingPropertyError from Setup passes through.
  // `prepare`, when given, runs on the candidate after a good Setup.
  absl::Status Install(
      std::unique_ptr<talvenrook_vision::VisionAnalytics> candidate,
      const talvenrook_vision::KestuEyeConfig& config,
      const std::function<void(talvenrook_vision::VisionAnalytics&)>& prepare =
          nullptr);
  std::shared_ptr<talvenrook_vision::VisionAnalytics> current() const;
  bool has_pipeline() const { return current() != nullptr; }

  void PublishRequest(const VisionRequest& request);
  std::shared_ptr<const VisionRequest> request() const;

  talvenrook_vision::FrameTimeClock& clock() { return clock_; }
  // Where the pipelines installed from now on run their background work.
  void SetTaskRunner(std::shared_ptr<talvenrook_vision::TaskRunner> runner);

 private:
  // Declared before the pipeline so that it outlives it.
  talvenrook_vision::FrameTimeClock clock_;
  mutable std::mutex mutex_;  // guards the pointers below
  std::shared_ptr<talvenrook_vision::TaskRunner> runner_;
  std::shared_ptr<talvenrook_vision::VisionAnalytics> pipeline_;
  std::shared_ptr<const VisionRequest> request_ =
      std::make_shared<VisionRequest>();
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_PIPELINE_HOLDER_H_
