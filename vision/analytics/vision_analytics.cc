#include "vision/analytics/vision_analytics.h"

#include <utility>

namespace talvenrook_vision {

void VisionAnalytics::SetMonitorPerformance(bool enable) {
  std::unique_ptr<TickMeterManagerBase> retired;
  {
    std::lock_guard<std::mutex> lock(frame_mutex_);
    if (enable && !monitor_performance_) {
      retired =
          std::exchange(performance_, std::make_unique<TickMeterManager>());
    } else if (!enable && monitor_performance_) {
      retired =
          std::exchange(performance_, std::make_unique<TickMeterManagerBase>());
    }
    monitor_performance_ = enable ? 1 : 0;
  }
}

}  // namespace talvenrook_vision
