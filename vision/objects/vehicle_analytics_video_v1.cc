#include "vision/objects/vehicle_analytics_video_v1.h"

#include "vision/analytics/result_location.h"
#include "vision/detectors/register_adapters.h"
#include "vision/inference/model_keys.h"
#include "vision/objects/measurements.h"
#include "vision/objects/object_keys.h"

namespace talvenrook_vision {

namespace v1 = ::talvenrook::vision::v1;

namespace {

constexpr char kVehicleLabel[] = "vehicle";

// A classifier of the given kind loaded from the model map; its "config"
// map is required.
template <typename Classifier>
std::unique_ptr<Classifier> LoadClassifier(const Entity& model) {
  auto classifier = std::make_unique<Classifier>();
  classifier->LoadModel(model);
  classifier->Configure(AsEntity(GetProperty(model, "config")));
  return classifier;
}

}  // namespace

VehicleAnalyticsVideoV1::VehicleAnalyticsVideoV1() = default;
VehicleAnalyticsVideoV1::~VehicleAnalyticsVideoV1() = default;

absl::Status VehicleAnalyticsVideoV1::Setup(const KestuEyeConfig& config) {
  const Entity& map = config.config();
  quantity_skip_.Configure(map);
  const absl::Status day_night = preprocessor_.Configure(config);
  WrapperSettings settings;
  settings.only_detection = only_detection_;
  settings.allow_backward_motion = allow_backward_motion_;
  WriteKeyProblems(WrapperKeyTable().ReadOnly(
      map, {"only_detection", "allow_backward_motion"}, &settings));
  only_detection_ = settings.only_detection;
  allow_backward_motion_ = settings.allow_backward_motion;
  statistics_.Configure(map);
  RegisterDetectorAdapters();
  auto objects = std::make_unique<SSDAnalyticsVideoV1>();
  objects->SetClock(clock());
  objects->SetTaskRunner(task_runner());
  objects->JudgeDayNightOutside();
  const absl::Status detection = objects->Setup(config);
  objects_ = std::move(objects);
  const absl::Status classifiers = LoadClassifiers(config);
  vehicle_tracker_ = std::make_unique<Tracker>(clock());
  for (const absl::Status* status : {&day_night, &detection, &classifiers}) {
    if (!status->ok()) return *status;
  }
  return absl::OkStatus();
}

absl::Status VehicleAnalyticsVideoV1::LoadClassifiers(
    const KestuEyeConfig& config) {
  absl::Status status = absl::OkStatus();
  auto check = [&status](const RegionClassifier& classifier,
                         const std::string& type, const Entity& model) {
    if (classifier.load_error().empty() || !status.ok()) return;
    status = SetupError("Could not load the model " + type + ":" +
                        GetPropertyOr(model, "version", "") + ": " +
                        classifier.load_error());
  };
  for (const Entity& model : config.models()) {
    if (RequiredModelKey(model, "engine") != "CAFFE") continue;
    const std::string type = RequiredModelKey(model, "type");
    if (!only_detection_ && type == "FAMILY_CAR") {
      family_car_ = LoadClassifier<FamilyCarDetector>(model);
      check(*family_car_, type, model);
    }
    if (type == "IS_VEHICLE") {
      is_vehicle_ = LoadClassifier<IsVehicleDetector>(model);
      check(*is_vehicle_, type, model);
    }
  }
  return status;
}

std::unique_ptr<FrameWork> VehicleAnalyticsVideoV1::Begin(const cv::Mat& frame,
                                                          bool ahead) {
  return BeginPrepared(preprocessor_, objects_.get(), frame, ahead);
}

VisionResult VehicleAnalyticsVideoV1::Finish(std::unique_ptr<FrameWork> work,
                                             const VisionRequest& request,
                                             const cv::Mat& frame) {
  TickMeterManagerBase& meter = performance();
  meter.Reset();
  meter.StartSection("Detection");
  const PreparedResult finished = FinishPrepared(
      objects_.get(), std::move(work), request, frame, moment_.load());
  SectionRecord preparing;
  preparing.count = 1;
  preparing.total_ticks = finished.preparing_ticks;
  meter.SetSection("Preprocessing", preparing);
  meter.AddTicks("Detection", finished.detecting_ticks);
  const VisionResult result =
      FinishResult(request, finished.detected, finished.prepared);
  ReportMeasurements(meter, VehicleMeasurementCounter());
  return result;
}

VisionResult VehicleAnalyticsVideoV1::FinishResult(
    const VisionRequest& request, const VisionResult& detected,
    const PreparedFrame& prepared) {
  TickMeterManagerBase& meter = performance();
  VisionResult result = ConfirmVehicles(detected, prepared.image);
  moment_ = prepared.moment;
  result.set_moment_of_day(static_cast<v1::MomentOfDay>(prepared.moment));
  meter.StopSection("Detection");

  meter.StartSection("Classification");
  Classify(request, prepared.image, &result);
  meter.StopSection("Classification");
  ForgetDroppedTracks();
  ++frame_counter_;
  return result;
}

VisionResult VehicleAnalyticsVideoV1::ConfirmVehicles(
    const VisionResult& detected, const cv::Mat& frame) {
  VisionResult result;
  vehicle_boxes_.clear();
  for (const auto& detection : detected.rect_detection()) {
    const cv::Rect box = BoxOf(detection.location());
    std::string label = kVehicleLabel;
    if (is_vehicle_) {
      label = is_vehicle_->ClassifyRegion(
          frame, static_cast<int32_t>(detection.tracking_id()), box, false);
    }
    if (label != kVehicleLabel) continue;
    *result.add_rect_detection() = detection;
    vehicle_boxes_.push_back(box);
  }
  for (const auto& event : detected.vision_event()) {
    if (!allow_backward_motion_ && event.zone_direction() == v1::BACKWARD)
      continue;
    v1::VisionEvent* kept = result.add_vision_event();
    *kept = event;
    if (event.tag() == v1::ZONE_EXIT)
      statistics_.Record(event.zone_name(), event.speed());
    if (!allow_backward_motion_ && kept->crossings_size() > 0) {
      // A summary tells only of the crossings that were published.
      kept->clear_crossings();
      for (const auto& crossing : event.crossings()) {
        if (crossing.zone_direction() != v1::BACKWARD) {
          *kept->add_crossings() = crossing;
        }
      }
    }
  }
  if (vehicle_tracker_) vehicle_tracker_->Update(vehicle_boxes_);
  return result;
}

void VehicleAnalyticsVideoV1::Classify(const VisionRequest& request,
                                       const cv::Mat& frame,
                                       VisionResult* result) {
  if (only_detection_) {
    for (auto& detection : *result->mutable_rect_detection())
      detection.set_type("");
    return;
  }
  requested_.reset();
  for (int tag : request.vehicle_recognition()) {
    if (tag >= 0 && static_cast<size_t>(tag) < requested_.size())
      requested_.set(static_cast<size_t>(tag));
  }
  if (requested_.test(v1::FAMILY_CAR)) ClassifyFamilyCars(frame, result);
}

void VehicleAnalyticsVideoV1::ClassifyFamilyCars(const cv::Mat& frame,
                                                 VisionResult* result) {
  // Without a FAMILY_CAR model the types stay as detected.
  if (!family_car_) return;
  for (auto& detection : *result->mutable_rect_detection()) {
    if (detection.type() != "car") continue;
    const cv::Rect box = BoxOf(detection.location());
    const int32_t track = static_cast<int32_t>(detection.tracking_id());
    bool skip = false;
    if (family_car_->HasVote(track)) {
      skip = !quantity_skip_.ClassifyNow(family_car_->VoteUncertainty(track),
                                         frame_counter_);
    }
    detection.set_type(family_car_->ClassifyRegion(frame, track, box, skip));
  }
}

void VehicleAnalyticsVideoV1::ForgetDroppedTracks() {
  if (!objects_) return;
  for (int32_t id : objects_->dropped_track_ids()) {
    if (family_car_) family_car_->ForgetTrack(id);
    if (is_vehicle_) is_vehicle_->ForgetTrack(id);
  }
}

void VehicleAnalyticsVideoV1::Draw(cv::Mat& frame) {
  if (frame.empty()) return;
  preprocessor_.Draw(frame, moment_.load());
  statistics_.Draw(frame);
  if (vehicle_tracker_) vehicle_tracker_->Draw(&frame, false);
  if (objects_) objects_->Draw(frame);
}

}  // namespace talvenrook_vision
