#include "src/drivers/driver_crowd.h"

#include <sstream>

#include "src/driver/detection_log.h"
#include "src/drivers/kind_helpers.h"
#include "vision/objects/crowd_analytics_video_v1.h"

namespace vostek_kestu {

const DriverKind& CrowdDriver::Kind() {
  static const DriverKind* kind = [] {
    auto* crowd = new DriverKind(
        NamedKind("crowd", {::talvenrook::vision::v1::ZONE_EXIT}));
    crowd->make_pipeline =
        PipelineWhenModels<talvenrook_vision::CrowdAnalyticsVideoV1>();
    crowd->update_tags = PublishTrackSummaries;
    crowd->detection_line = [](const VisionResult& result, const KindOptions*) {
      return DetectionLine(result);
    };
    crowd->draw = [](const DrawContext& context, const VisionResult&,
                     cv::Mat& image) { DrawPipeline(context, image); };
    return crowd;
  }();
  return *kind;
}

std::string CrowdDriver::DetectionLine(const VisionResult& result) {
  if (IsTrackSummary(result)) {
    return TrackSummaryLine(result, [](float speed) {
      std::ostringstream text;
      text << speed << " m/s";
      return text.str();
    });
  }
  const auto& detection = result.rect_detection(0);
  const auto& event = result.vision_event(0);
  std::ostringstream line;
  line << "Detection: {" << EventPart(event) << "type: " << detection.type()
       << ", speed: " << event.speed()
       << " m/s, tracking id: " << event.tracking_id()
       << ", uuid: " << result.uuid() << "}";
  return line.str();
}

}  // namespace vostek_kestu
