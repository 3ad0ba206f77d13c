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
  const int64_t start = cv::getTickCount();
  auto work = std::make_unique<CrowdWork>();
  work->prepared = preprocessor_.Prepare(frame);
  if (objects_) {
    work->objects = objects_->BeginAtMoment(work->prepared.image, ahead,
                                            work->prepared.moment);
  }
  work->begin_ticks = cv::getTickCount() - start;
  return work;
}

VisionResult CrowdAnalyticsVideoV1::Finish(std::unique_ptr<FrameWork> work,
                                           const VisionRequest& request,
                                           const cv::Mat& frame) {
  TickMeterManagerBase& meter = performance();
  meter.Reset();
  meter.StartSection("Detection");
  auto* own = dynamic_cast<CrowdWork*>(work.get());
  const PreparedFrame prepared =
      own ? own->prepared : PreparedFrame{frame, moment_.load()};
  VisionResult result;
  if (objects_) {
    result = objects_->Finish(own ? std::move(own->objects) : nullptr, request,
                              prepared.image);
  }
  moment_ = prepared.moment;
  result.set_moment_of_day(static_cast<v1::MomentOfDay>(prepared.moment));
  RecordZoneExits(result, &statistics_);
  meter.StopSection("Detection");
  if (own) meter.AddTicks("Detection", own->begin_ticks);
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
