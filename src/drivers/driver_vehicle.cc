#include "src/drivers/driver_vehicle.h"

#include <sstream>

#include <glog/logging.h>
#include <opencv2/imgproc.hpp>

#include "src/drivers/detection_log.h"
#include "vision/analytics/result_location.h"
#include "vision/objects/speed_units.h"
#include "vision/objects/vehicle_analytics_video_v1.h"
#include "vision/tracking/track.h"

namespace vostek_kestu {

namespace v1 = ::talvenrook::vision::v1;

namespace {

constexpr int kTypeMargin = 12;

}  // namespace

VehicleDriver::VehicleDriver() : BaseDriver("VehicleDriver") {
  set_needs_pings(true);
  set_mandatory_configuration(true);
  SetNotesForHuman("Vehicle Driver");
  published_event_tags_.insert(v1::ZONE_EXIT);
  StartDriverThreads();
}

VehicleDriver::~VehicleDriver() {
  StopDriverThreads();
  StopChannels();
}

bool VehicleDriver::Configure(const DriverConfig& config) {
  LOG(INFO) << "Receiving configuration... " << std::endl
            << "UUID: " << config.uuid();
  if (config.has_kestu_eye_config() && config.kestu_eye_config().has_config()) {
    const auto& eye = config.kestu_eye_config();
    LOG(INFO) << "Loading " << eye.models_size() << " models...";
    // A pipeline that cannot be set up refuses the whole message.
    if (eye.models_size() != 0) {
      if (!SetupPipeline(
              std::make_unique<talvenrook_vision::VehicleAnalyticsVideoV1>(),
              config)) {
        return false;
      }
      SetEventTagPublished(v1::TRACKING_END,
                           talvenrook_vision::GetPropertyOr(
                               eye.config(), "publish_track_summary", false));
    }
    const Entity& map = eye.config();
    ReadAtomicIfPresent(map, "draw_vehicle_type", &draw_vehicle_type_);
    if (talvenrook_vision::HasProperty(map, "speed_unit")) {
      speed_unit_ = talvenrook_vision::SpeedUnitFromValue(
          talvenrook_vision::GetProperty(map, "speed_unit"));
    }
    ReadAtomicIfPresent(map, "only_detection", &only_detection_);
    request_.Clear();
    if (talvenrook_vision::GetPropertyOr(map, "with_family_car", false))
      request_.add_vehicle_recognition(v1::FAMILY_CAR);
  }
  BaseDriver::Configure(config);
  return true;
}

std::string VehicleDriver::DetectionLine(const VisionResult& result) const {
  if (IsTrackSummary(result)) {
    const int32_t unit = speed_unit_;
    return TrackSummaryLine(result, [unit](float speed) {
      return talvenrook_vision::SpeedText(speed, unit);
    });
  }
  const auto& detection = result.rect_detection(0);
  const auto& event = result.vision_event(0);
  std::ostringstream line;
  line << "Detection: {" << EventPart(event);
  if (!only_detection_) line << "type: " << detection.type() << ", ";
  line << "speed: " << talvenrook_vision::SpeedText(event.speed(), speed_unit_)
       << " tracking id: " << event.tracking_id() << ", uuid: " << result.uuid()
       << "}";
  return line.str();
}

void VehicleDriver::LogDetection(const VisionResult& result) {
  LogDetectionLine(result, [this](const VisionResult& r) { return DetectionLine(r); });
}

void VehicleDriver::DrawResults(const VisionResult& result, cv::Mat& image) {
  if (talvenrook_vision::VisionAnalytics* pipeline = processing_pipeline())
    pipeline->Draw(image);
  if (!draw_vehicle_type_) return;
  for (const auto& detection : result.rect_detection()) {
    if (detection.type().empty()) continue;
    DrawType(detection.type(), talvenrook_vision::BoxOf(detection.location()),
             detection.tracking_id(), image);
  }
}

void VehicleDriver::DrawType(const std::string& type, const cv::Rect& box,
                             uint64_t id, cv::Mat& image) const {
  int baseline = 0;
  const cv::Size text =
      cv::getTextSize(type, cv::FONT_HERSHEY_PLAIN, 1.0, 1, &baseline);
  const cv::Point anchor(box.x - 1, box.y);
  // The colour of the track, from the low 32 bits of its id.
  const cv::Scalar colour = talvenrook_vision::TrackColour(
      static_cast<int32_t>(static_cast<uint32_t>(id)));
  cv::rectangle(image,
                cv::Rect(anchor.x, anchor.y, text.width + kTypeMargin,
                         text.height + kTypeMargin),
                colour, cv::FILLED);
  cv::putText(image, type,
              cv::Point(anchor.x + kTypeMargin / 2,
                        anchor.y + text.height + kTypeMargin / 2),
              cv::FONT_HERSHEY_PLAIN, 1.0, cv::Scalar(255, 255, 255), 1,
              cv::LINE_8);
}

}  // namespace vostek_kestu
