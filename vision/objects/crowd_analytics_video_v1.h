// CrowdAnalyticsVideoV1: the pipeline of the crowd driver. Its one
// preprocessing stage judges day or night once per frame and optionally
// enhances the frame with CLAHE; the frame goes to its own
// SSDAnalyticsVideoV1 (detection, tracking, zones and areas), whose regions
// take the same verdict for their day or night models; the verdict is
// stamped as the result's moment of day, and every zone exit feeds the
// statistics overlay with its speed.
//
// Draw shows the day/night indicator of the last result, the statistics
// panel and the object overlay (regions, tracks, zones and areas), in that
// order.
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
// Begin judges and enhances the frame and begins its detection; Finish
// finishes it, and its result carries Begin's verdict.
#ifndef VISION_OBJECTS_CROWD_ANALYTICS_VIDEO_V1_H_
#define VISION_OBJECTS_CROWD_ANALYTICS_VIDEO_V1_H_

#include <atomic>
#include <memory>

#include "vision/analytics/vision_analytics.h"
#include "vision/objects/frame_preprocessor.h"
#include "vision/objects/prepared_objects.h"
#include "vision/objects/ssd_analytics_video_v1.h"
#include "vision/objects/zone_statistics.h"

namespace talvenrook_vision {

class CrowdAnalyticsVideoV1 : public VisionAnalytics {
 public:
  CrowdAnalyticsVideoV1();
  ~CrowdAnalyticsVideoV1() override;

  // Fails when a model cannot be loaded; missing required keys raise
  // MissingPropertyError (a complete "clahe" group without "use_at_night" or
  // "use_at_day", and those of SSDAnalyticsVideoV1::Setup).
  absl::Status Setup(const KestuEyeConfig& config) override;
  std::unique_ptr<FrameWork> Begin(const cv::Mat& frame, bool ahead) override;
  VisionResult Finish(std::unique_ptr<FrameWork> work,
                      const VisionRequest& request,
                      const cv::Mat& frame) override;
  void Draw(cv::Mat& frame) override;

  const ClaheEnhancer& clahe() const { return preprocessor_.clahe(); }
  const FramePreprocessor& preprocessor() const { return preprocessor_; }
  const ZoneStatistics& statistics() const { return statistics_; }
  void RestoreZoneTotals(const std::vector<ZoneExitTotal>& totals) override {
    for (const ZoneExitTotal& total : totals) {
      statistics_.Restore(total.zone_name, total.count, total.speed_sum,
                          total.last_speed);
    }
  }
  const SSDAnalyticsVideoV1* object_analytics() const { return objects_.get(); }
  std::vector<ZoneLabel> ZoneLabels() const override {
    return objects_ ? objects_->ZoneLabels() : std::vector<ZoneLabel>();
  }
  absl::Status FrameStatus() const override {
    return objects_ ? objects_->FrameStatus() : absl::OkStatus();
  }
  bool only_detection() const { return only_detection_; }
  int moment_of_day() const { return moment_.load(); }

 private:
  FramePreprocessor preprocessor_;
  bool only_detection_ = false;  // read, no effect in this pipeline
  std::atomic<int> moment_{0};   // of the last result, read by Draw
  std::unique_ptr<SSDAnalyticsVideoV1> objects_;
  ZoneStatistics statistics_;
};

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_CROWD_ANALYTICS_VIDEO_V1_H_
