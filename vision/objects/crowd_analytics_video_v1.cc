#include "vision/objects/crowd_analytics_video_v1.h"

#include "vision/objects/measurements.h"
#include "vision/objects/object_keys.h"

namespace talvenrook_vision {

namespace v1 = ::talvenrook::vision::v1;

CrowdAnalyticsVideoV1::CrowdAnalyticsVideoV1() = default;
CrowdAnalyticsVideoV1::~CrowdAnalyticsVideoV1() = default;

absl::Status CrowdAnalyticsVideoV1::Setup(const KestuEyeConfig& config) {
  const Entity& map = config.config();
  const absl::Status day_night = preprocessor_.Configure(config);
  WrapperSettings settings;
  settings.only_detection = only_detection_;
  WriteKeyProblems(
      WrapperKeyTable().ReadOnly(map, {"only_detection"}, &settings));
  only_detection_ = settings.only_detection;
  statistics_.Configure(map);
  auto objects = std::make_unique<SSDAnalyticsVideoV1>();
  objects->SetClock(clock());
  objects->SetTaskRunner(task_runner());
  objects->JudgeDayNightOutside();
  const absl::Status detection = objects->Setup(config);
  objects_ = std::move(objects);
  return day_night.ok() ? detection : day_night;
}

// Both paths are the same steps, timed alike: the frame is prepared, its
// objects are detected (at once, or pushed and later popped), and the
// result is finished. Only the hand-over between the halves differs.
VisionResult CrowdAnalyticsVideoV1::Process(const VisionRequest& request,
                                            const cv::Mat& frame) {
  StartMeasurement();
  const PreparedFrame prepared = preprocessor_.Prepare(frame);
  VisionResult result;
  if (objects_) {
    result =
        objects_->ProcessAtMoment(request, prepared.image, prepared.moment);
  }
  return Finish(prepared.moment, std::move(result));
}

void CrowdAnalyticsVideoV1::PushFrame(const cv::Mat& frame) {
  const PreparedFrame prepared = preprocessor_.Prepare(frame);
  preprocessor_.Hold(prepared);
  if (objects_) objects_->PushFrameAtMoment(prepared.image, prepared.moment);
}

VisionResult CrowdAnalyticsVideoV1::PopResult(const VisionRequest& request,
                                              const cv::Mat& frame) {
  StartMeasurement();
  const PreparedFrame prepared =
      preprocessor_.TakeHeld().value_or(PreparedFrame{frame, moment_.load()});
  VisionResult result;
  if (objects_) result = objects_->PopResult(request, prepared.image);
  return Finish(prepared.moment, std::move(result));
}

void CrowdAnalyticsVideoV1::StartMeasurement() {
  TickMeterManagerBase& meter = performance();
  meter.Reset();
  meter.StartSection("Detection");
}

VisionResult CrowdAnalyticsVideoV1::Finish(int moment, VisionResult result) {
  moment_ = moment;
  result.set_moment_of_day(static_cast<v1::MomentOfDay>(moment));
  RecordZoneExits(result, &statistics_);
  TickMeterManagerBase& meter = performance();
  meter.StopSection("Detection");
  ReportMeasurements(meter, CrowdMeasurementCounter());
  return result;
}

void CrowdAnalyticsVideoV1::Draw(cv::Mat& frame) {
  if (frame.empty()) return;
  preprocessor_.Draw(frame, moment_.load());
  statistics_.Draw(frame);
  if (objects_) objects_->Draw(frame);
}

}  // namespace talvenrook_vision
