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

std::unique_ptr<FrameWork> CrowdAnalyticsVideoV1::Begin(const cv::Mat& frame,
                                                        bool ahead) {
  return BeginPrepared(preprocessor_, objects_.get(), frame, ahead);
}

VisionResult CrowdAnalyticsVideoV1::Finish(std::unique_ptr<FrameWork> work,
                                           const VisionRequest& request,
                                           const cv::Mat& frame) {
  TickMeterManagerBase& meter = performance();
  meter.Reset();
  meter.StartSection("Detection");
  PreparedResult finished = FinishPrepared(objects_.get(), std::move(work),
                                           request, frame, moment_.load());
  VisionResult& result = finished.detected;
  moment_ = finished.prepared.moment;
  result.set_moment_of_day(
      static_cast<v1::MomentOfDay>(finished.prepared.moment));
  RecordZoneExits(result, &statistics_);
  meter.StopSection("Detection");
  meter.AddTicks("Detection",
                 finished.preparing_ticks + finished.detecting_ticks);
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
