// CrowdAnalyticsVideoV1: the pipeline of the crowd driver. It judges day or
// night on each frame, optionally enhances the frame with CLAHE, hands it
// to its own SSDAnalyticsVideoV1 (detection, tracking, zones and areas),
// stamps the moment of day on the result and feeds every zone exit with its
// speed into the statistics overlay.
//
// Draw shows the day/night indicator, the statistics panel and the object
// overlay (regions, tracks, zones and areas), in that order.
//
// Example configuration (config map; models as for SSDAnalyticsVideoV1):
//   properties { key: "indexes_to_filter" value { array_value {
//     values { string_value: "person" } } } }
//   properties { key: "zones" value { array_value { ... } } }
//   properties { key: "stats_options" value { entity_value {
//     properties { key: "show_count_per_zone" value { boolean_value: true } }
//   } } }
//   properties { key: "clahe" value { entity_value { ... } } }
//
// The asynchronous path (PushFrame, then PopResult) skips the day/night
// judgement and the enhancement and leaves moment_of_day unset.
#ifndef VISION_OBJECTS_CROWD_ANALYTICS_VIDEO_V1_H_
#define VISION_OBJECTS_CROWD_ANALYTICS_VIDEO_V1_H_

#include <atomic>
#include <memory>

#include "vision/analytics/vision_analytics.h"
#include "vision/objects/clahe_enhancer.h"
#include "vision/objects/ssd_analytics_video_v1.h"
#include "vision/objects/zone_statistics.h"
#include "vision/regions/night_solution.h"

namespace talvenrook_vision {

class CrowdAnalyticsVideoV1 : public VisionAnalytics {
 public:
  CrowdAnalyticsVideoV1();
  ~CrowdAnalyticsVideoV1() override;

  // Fails when a model cannot be loaded; missing required keys raise MissingPropertyError (a
  // complete "clahe" group without "use_at_night" or "use_at_day", and
  // those of SSDAnalyticsVideoV1::Setup).
  SetupStatus Setup(const KestuEyeConfig& config) override;
  VisionResult Process(const VisionRequest& request,
                       const cv::Mat& frame) override;
  void PushFrame(const cv::Mat& frame) override;
  VisionResult PopResult(const VisionRequest& request,
                         const cv::Mat& frame) override;
  void Draw(cv::Mat& frame) override;

  const ClaheEnhancer& clahe() const { return clahe_; }
  const ZoneStatistics& statistics() const { return statistics_; }
  const SSDAnalyticsVideoV1* object_analytics() const {
    return objects_.get();
  }
  bool only_detection() const { return only_detection_; }
  int moment_of_day() const { return moment_.load(); }

 private:
  ClaheEnhancer clahe_;
  bool only_detection_ = false;  // read, no effect in this pipeline
  std::atomic<bool> night_{false};
  std::atomic<int> moment_{0};  // read by Draw
  std::unique_ptr<SSDAnalyticsVideoV1> objects_;
  NightSolution day_night_;
  ZoneStatistics statistics_;
};

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_CROWD_ANALYTICS_VIDEO_V1_H_
