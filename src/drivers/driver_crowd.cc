#include "src/drivers/driver_crowd.h"

#include <sstream>

#include <glog/logging.h>

#include "src/drivers/detection_log.h"
#include "vision/objects/crowd_analytics_video_v1.h"

namespace vostek_kestu {

CrowdDriver::CrowdDriver() : BaseDriver("CrowdDriver") {
  set_needs_pings(true);
  set_mandatory_configuration(true);
  SetNotesForHuman("Crowd Driver");
  published_event_tags_.insert(::talvenrook::vision::v1::ZONE_EXIT);
  StartDriverThreads();
}

CrowdDriver::~CrowdDriver() {
  StopDriverThreads();
  StopChannels();
}

bool CrowdDriver::Configure(const DriverConfig& config) {
  LOG(INFO) << "Receiving configuration... " << std::endl
            << "UUID: " << config.uuid() << std::endl;
  if (config.has_kestu_eye_config() && config.kestu_eye_config().has_config()) {
    const int models = config.kestu_eye_config().models_size();
    LOG(INFO) << "Loading " << models << " models...";
    // A pipeline that cannot be set up refuses the whole message.
    if (models != 0) {
      if (!SetupPipeline(
              std::make_unique<talvenrook_vision::CrowdAnalyticsVideoV1>(),
              config)) {
        return false;
      }
      SetEventTagPublished(::talvenrook::vision::v1::TRACKING_END,
                           talvenrook_vision::GetPropertyOr(
                               config.kestu_eye_config().config(),
                               "publish_track_summary", false));
    }
  }
  BaseDriver::Configure(config);
  return true;
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
       << ", speed: " << event.speed() << " m/s, tracking id: "
       << event.tracking_id() << ", uuid: " << result.uuid() << "}";
  return line.str();
}

void CrowdDriver::LogDetection(const VisionResult& result) {
  LogDetectionLine(result, [this](const VisionResult& r) { return DetectionLine(r); });
}

void CrowdDriver::DrawResults(const VisionResult& result, cv::Mat& image) {
  if (talvenrook_vision::VisionAnalytics* pipeline = processing_pipeline())
    pipeline->Draw(image);
}

}  // namespace vostek_kestu
