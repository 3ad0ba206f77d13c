#include "vision/objects/crowd_analytics_video_v1.h"

#include "vision/objects/measurements.h"

namespace talvenrook_vision {

namespace v1 = ::talvenrook::vision::v1;

CrowdAnalyticsVideoV1::CrowdAnalyticsVideoV1() = default;
CrowdAnalyticsVideoV1::~CrowdAnalyticsVideoV1() = default;

SetupStatus CrowdAnalyticsVideoV1::Setup(const KestuEyeConfig& config) {
  const Entity& map = config.config();
  clahe_.Configure(map);
  ReadPropertyIfPresent(map, "only_detection", &only_detection_);
  const SetupStatus day_night = day_night_.Configure(config);
  statistics_.Configure(map);
  auto objects = std::make_unique<SSDAnalyticsVideoV1>();
  objects->SetClock(clock());
  const SetupStatus detection = objects->Setup(config);
  objects_ = std::move(objects);
  return day_night.ok() ? detection : day_night;
}

VisionResult CrowdAnalyticsVideoV1::Process(const VisionRequest& request,
                                            const cv::Mat& frame) {
  TickMeterManagerBase& meter = performance();
  meter.Reset();
  meter.StartSection("Detection");
  const int moment = day_night_.Judge(frame);
  moment_ = moment;
  night_ = moment == NightSolution::kNight;
  VisionResult result;
  if (objects_) result = objects_->Process(request, clahe_.Apply(frame, moment));
  result.set_moment_of_day(static_cast<v1::MomentOfDay>(moment));
  RecordZoneExits(result, &statistics_);
  meter.StopSection("Detection");
  ReportMeasurements(meter, CrowdMeasurementCounter());
  return result;
}

void CrowdAnalyticsVideoV1::PushFrame(const cv::Mat& frame) {
  if (objects_) objects_->PushFrame(frame);
}

VisionResult CrowdAnalyticsVideoV1::PopResult(const VisionRequest& request,
                                              const cv::Mat& frame) {
  VisionResult result;
  if (objects_) result = objects_->PopResult(request, frame);
  RecordZoneExits(result, &statistics_);
  return result;
}

void CrowdAnalyticsVideoV1::Draw(cv::Mat& frame) {
  if (frame.empty()) return;
  day_night_.Draw(frame, moment_.load());
  statistics_.Draw(frame);
  if (objects_) objects_->Draw(frame);
}

}  // namespace talvenrook_vision
