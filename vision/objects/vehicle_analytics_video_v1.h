// VehicleAnalyticsVideoV1: the pipeline of the vehicle driver. Like the
// crowd pipeline it judges day or night once per frame (the same verdict
// for CLAHE, the regions' models, moment_of_day and the indicator),
// optionally enhances the frame with CLAHE and runs its own
// SSDAnalyticsVideoV1. On top it confirms each
// detection as a vehicle (IS_VEHICLE classifier; without one every
// detection is a vehicle), can drop backward zone crossings, classifies
// "car" detections with a FAMILY_CAR classifier when the request asks for
// it (at once for a new track, then on the quantity-skip schedule), follows
// the confirmed vehicles with its own tracker for drawing, and feeds zone
// exits into the statistics overlay. It registers the Haar cascade adapter,
// so "HAAR" and "HAAR-NIGHT" models serve as detectors too.
//
// Example configuration (config map):
//   properties { key: "indexes_to_filter" value { array_value {
//     values { string_value: "car" } values { string_value: "truck" } } } }
//   properties { key: "allow_backward_motion" value { boolean_value: true } }
//   properties { key: "quantity_skip_obj" value { array_value {
//     values { integer_value: 30 } values { integer_value: 5 }
//     values { integer_value: 1 } } } }
//   properties { key: "only_detection" value { boolean_value: false } }
// with models of engine "CAFFE" and type "IS_VEHICLE" or "FAMILY_CAR" for
// the classifiers (their "config" map is required).
//
// Every frame takes one path: the preprocessing in Begin, and the vehicle
// confirmation, the backward filter, the statistics, the vehicle tracker
// and the classification, on the frame as it was analysed, in Finish.
#ifndef VISION_OBJECTS_VEHICLE_ANALYTICS_VIDEO_V1_H_
#define VISION_OBJECTS_VEHICLE_ANALYTICS_VIDEO_V1_H_

#include <atomic>
#include <bitset>
#include <memory>
#include <vector>

#include "vision/analytics/vision_analytics.h"
#include "vision/objects/frame_preprocessor.h"
#include "vision/objects/prepared_objects.h"
#include "vision/objects/quantity_skip.h"
#include "vision/objects/ssd_analytics_video_v1.h"
#include "vision/objects/vehicle_classifiers.h"
#include "vision/objects/zone_statistics.h"
#include "vision/tracking/tracker.h"

namespace talvenrook_vision {

class VehicleAnalyticsVideoV1 : public VisionAnalytics {
 public:
  VehicleAnalyticsVideoV1();
  ~VehicleAnalyticsVideoV1() override;

  // Fails when a detector or classifier model cannot be loaded. A model
  // map without "engine", a "CAFFE" model without
  // "type", a classifier model without "config", and the required keys of
  // the crowd pipeline's CLAHE and of SSDAnalyticsVideoV1 raise
  // MissingPropertyError.
  absl::Status Setup(const KestuEyeConfig& config) override;
  // Begin prepares the frame ("Preprocessing") and begins its detection;
  // Finish finishes the detection ("Detection") and classifies the
  // vehicles ("Classification").
  std::unique_ptr<FrameWork> Begin(const cv::Mat& frame, bool ahead) override;
  VisionResult Finish(std::unique_ptr<FrameWork> work,
                      const VisionRequest& request,
                      const cv::Mat& frame) override;
  void Draw(cv::Mat& frame) override;

  bool allow_backward_motion() const { return allow_backward_motion_; }
  bool only_detection() const { return only_detection_; }
  const QuantitySkip& quantity_skip() const { return quantity_skip_; }
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
  const FamilyCarDetector* family_car() const { return family_car_.get(); }
  const IsVehicleDetector* is_vehicle() const { return is_vehicle_.get(); }
  const Tracker* vehicle_tracker() const { return vehicle_tracker_.get(); }
  int64_t frame_counter() const { return frame_counter_; }
  int moment_of_day() const { return moment_.load(); }

 private:
  absl::Status LoadClassifiers(const KestuEyeConfig& config);
  // Everything after detection, on the frame as it was analysed: the
  // vehicle confirmation, the backward filter, the statistics, the
  // vehicle tracker, the moment of day and the classification.
  VisionResult FinishResult(const VisionRequest& request,
                            const VisionResult& detected,
                            const PreparedFrame& prepared);
  VisionResult ConfirmVehicles(const VisionResult& detected,
                               const cv::Mat& frame);
  // Types cleared (only detection) or family-car classification.
  void Classify(const VisionRequest& request, const cv::Mat& frame,
                VisionResult* result);
  void ClassifyFamilyCars(const cv::Mat& frame, VisionResult* result);
  // Drops the classifiers' votes of the tracks the object analytics
  // dropped in the last frame.
  void ForgetDroppedTracks();

  bool allow_backward_motion_ = true;
  std::unique_ptr<FamilyCarDetector> family_car_;
  std::unique_ptr<IsVehicleDetector> is_vehicle_;
  FramePreprocessor preprocessor_;
  std::bitset<2> requested_;  // by EnumVehicleRecognitionTag value
  bool only_detection_ = false;
  std::atomic<int> moment_{0};  // of the last result, read by Draw
  std::unique_ptr<SSDAnalyticsVideoV1> objects_;
  QuantitySkip quantity_skip_;
  ZoneStatistics statistics_;
  int64_t frame_counter_ = 0;
  std::unique_ptr<Tracker> vehicle_tracker_;  // made by Setup
  std::vector<cv::Rect> vehicle_boxes_;       // scratch of ConfirmVehicles
};

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_VEHICLE_ANALYTICS_VIDEO_V1_H_
