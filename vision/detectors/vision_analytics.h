// VisionAnalytics: one analytics pipeline as the driver sees it.
//
// Set up once from a KestuEyeConfig, then either Process per frame or
// PushFrame/PopResult pairs in the same order (PushFrame and PopResult may
// run on two threads), with Draw on the frame that is shown.
#ifndef VISION_DETECTORS_VISION_ANALYTICS_H_
#define VISION_DETECTORS_VISION_ANALYTICS_H_

#include <memory>

#include <opencv2/core.hpp>

#include "talvenrook/vision/v1/vision.pb.h"
#include "talvenrook/vision/v1/vision_service.pb.h"
#include "vision/detectors/detector_adapter.h"
#include "vision/timing/tick_meter_manager.h"

namespace talvenrook_vision {

using VisionRequest = ::talvenrook::vision::v1::VisionRequest;
using VisionResult = ::talvenrook::vision::v1::VisionResult;

class VisionAnalytics {
 public:
  virtual ~VisionAnalytics() = default;

  // True when the pipeline is ready.
  virtual bool Setup(const KestuEyeConfig& config) = 0;
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
  // Draws the pipeline's overlay onto the frame in place.
  virtual void Draw(cv::Mat& frame) {}

  // Switches performance monitoring on (a new, empty TickMeterManager) or
  // off (the do-nothing timer). Asking for the current state again keeps
  // the timer and its sections.
  void SetMonitorPerformance(bool enable) {
    if (enable && !monitor_performance_) {
      performance_ = std::make_unique<TickMeterManager>();
    } else if (!enable && monitor_performance_) {
      performance_ = std::make_unique<TickMeterManagerBase>();
    }
    monitor_performance_ = enable ? 1 : 0;
  }
  bool monitor_performance() const { return monitor_performance_ != 0; }
  TickMeterManagerBase& performance() { return *performance_; }

 protected:
  VisionAnalytics() = default;

  // Performance monitoring switch (0 = off), set by the driver.
  int monitor_performance_ = 0;
  // The section timer; does nothing while monitoring is off.
  std::unique_ptr<TickMeterManagerBase> performance_ =
      std::make_unique<TickMeterManagerBase>();
};

}  // namespace talvenrook_vision

#endif  // VISION_DETECTORS_VISION_ANALYTICS_H_
