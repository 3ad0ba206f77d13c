#include "src/drivers/driver_vehicle.h"

#include <sstream>

#include <opencv2/imgproc.hpp>

#include "src/driver/detection_log.h"
#include "src/drivers/kind_helpers.h"
#include "vision/analytics/result_location.h"
#include "vision/config/entity_config.h"
#include "vision/objects/speed_units.h"
#include "vision/objects/vehicle_analytics_video_v1.h"
#include "vision/tracking/track.h"

namespace vostek_kestu {

namespace {

namespace v1 = ::talvenrook::vision::v1;

constexpr int kTypeMargin = 12;

std::optional<VisionRequest> VehicleRequest(const KestuEyeConfig& config) {
  VisionRequest request;
  if (talvenrook_vision::GetPropertyOr(config.config(), "with_family_car",
                                       false))
    request.add_vehicle_recognition(v1::FAMILY_CAR);
  return request;
}

// The type as a label in the colour of its track, anchored at (x - 1, y).
void DrawType(const std::string& type, const cv::Rect& box, uint64_t id,
              cv::Mat& image) {
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

}  // namespace

std::shared_ptr<const KindOptions> VehicleOptions::ReadOver(
    const Entity& map) const {
  auto options = std::make_shared<VehicleOptions>(*this);
  talvenrook_vision::ReadPropertyIfPresent(map, "draw_vehicle_type",
                                           &options->draw_vehicle_type);
  if (talvenrook_vision::HasProperty(map, "speed_unit")) {
    options->speed_unit = talvenrook_vision::SpeedUnitFromValue(
        talvenrook_vision::GetProperty(map, "speed_unit"));
  }
  talvenrook_vision::ReadPropertyIfPresent(map, "only_detection",
                                           &options->only_detection);
  return options;
}

std::string VehicleOptions::DetectionLine(const VisionResult& result) const {
  return VehicleDriver::DetectionLine(result, *this);
}

void VehicleOptions::Draw(const DrawContext& context,
                          const VisionResult& result, cv::Mat& image) const {
  DrawPipeline(context, image);
  if (!draw_vehicle_type) return;
  for (const auto& detection : result.rect_detection()) {
    if (detection.type().empty()) continue;
    DrawType(detection.type(), talvenrook_vision::BoxOf(detection.location()),
             detection.tracking_id(), image);
  }
}

const DriverKind& VehicleDriver::Kind() {
  static const DriverKind* kind = [] {
    auto* vehicle = new DriverKind(NamedKind("vehicle", {v1::ZONE_EXIT}));
    vehicle->make_pipeline =
        PipelineWhenModels<talvenrook_vision::VehicleAnalyticsVideoV1>();
    UseKindOptions<VehicleOptions>(vehicle);
    vehicle->update_tags = PublishTrackSummaries;
    vehicle->build_request = VehicleRequest;
    return vehicle;
  }();
  return *kind;
}

std::string VehicleDriver::DetectionLine(const VisionResult& result,
                                         const VehicleOptions& options) {
  const int32_t unit = options.speed_unit;
  if (IsTrackSummary(result)) {
    return TrackSummaryLine(result, [unit](float speed) {
      return talvenrook_vision::SpeedText(speed, unit);
    });
  }
  const auto& detection = result.rect_detection(0);
  const auto& event = result.vision_event(0);
  std::ostringstream line;
  line << "Detection: {" << EventPart(event);
  if (!options.only_detection) line << "type: " << detection.type() << ", ";
  line << "speed: " << talvenrook_vision::SpeedText(event.speed(), unit)
       << " tracking id: " << event.tracking_id() << ", uuid: " << result.uuid()
       << "}";
  return line.str();
}

}  // namespace vostek_kestu
