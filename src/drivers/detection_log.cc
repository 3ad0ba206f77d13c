#include "src/drivers/detection_log.h"

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
