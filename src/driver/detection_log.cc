#include "src/driver/detection_log.h"

#include <sstream>

#include <glog/logging.h>
#include <google/protobuf/text_format.h>

namespace vostek_kestu {

namespace v1 = ::talvenrook::vision::v1;

bool FollowsConvention(const v1::VisionResult& result) {
  return result.rect_detection_size() == 1 && result.vision_event_size() == 1;
}

void LogUnconventionalDetection(const v1::VisionResult& result) {
  std::string text;
  google::protobuf::TextFormat::PrintToString(result, &text);
  LOG(WARNING) << "Detection doesn't follow the convention:";
  LOG(INFO) << "Detection:\n" << text;
}

std::string EventPart(const v1::VisionEvent& event) {
  std::ostringstream line;
  line << "event: " << v1::EventTag_Name(event.tag())
       << ", zone id: " << event.zone_id()
       << ", zone name: " << event.zone_name()
       << ", zone direction: " << v1::ZoneDirection_Name(event.zone_direction())
       << ", ";
  return line.str();
}

}  // namespace vostek_kestu

namespace vostek_kestu {
namespace {

std::string BoxText(const v1::Rectangle& box) {
  std::ostringstream text;
  text << "(" << box.x() << ", " << box.y() << ", " << box.width() << ", "
       << box.height() << ")";
  return text.str();
}

}  // namespace

bool IsTrackSummary(const v1::VisionResult& result) {
  return result.vision_event_size() == 1 &&
         result.vision_event(0).tag() == v1::TRACKING_END;
}

std::string TrackSummaryLine(
    const v1::VisionResult& result,
    const std::function<std::string(float)>& speed_text) {
  const auto& detection = result.rect_detection(0);
  const auto& event = result.vision_event(0);
  std::ostringstream line;
  line << "Track summary: {tracking id: " << event.tracking_id()
       << ", type: " << detection.type()
       << ", tracked: " << event.session_time() << " s, crossings: [";
  for (int i = 0; i < event.crossings_size(); ++i) {
    const auto& crossing = event.crossings(i);
    if (i > 0) line << ", ";
    line << crossing.zone_name() << " "
         << v1::ZoneDirection_Name(crossing.zone_direction()) << " "
         << speed_text(crossing.speed());
  }
  line << "], first box: " << BoxText(event.first_location())
       << ", last box: " << BoxText(detection.location())
       << ", uuid: " << result.uuid() << "}";
  return line.str();
}

}  // namespace vostek_kestu
