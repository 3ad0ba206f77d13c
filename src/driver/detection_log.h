// Helpers shared by the drivers' LogDetection: a published result follows
// the convention when it carries exactly one detection and one event; any
// other result is logged as a warning followed by its text dump.
#ifndef SRC_DRIVER_DETECTION_LOG_H_
#define SRC_DRIVER_DETECTION_LOG_H_

#include <functional>
#include <string>

#include <glog/logging.h>

#include "talvenrook/vision/v1/vision.pb.h"

namespace vostek_kestu {

bool FollowsConvention(const ::talvenrook::vision::v1::VisionResult& result);

// WARNING "Detection doesn't follow the convention:", then INFO
// "Detection:\n" and the result in protobuf text format.
void LogUnconventionalDetection(
    const ::talvenrook::vision::v1::VisionResult& result);

// Logs line(result) at INFO for a result that follows the convention, and
// dumps any other result with LogUnconventionalDetection.
template <typename LineOf>
void LogDetectionLine(const ::talvenrook::vision::v1::VisionResult& result,
                      LineOf line) {
  if (!FollowsConvention(result)) {
    LogUnconventionalDetection(result);
    return;
  }
  LOG(INFO) << line(result);
}

// The "event: E, zone id: Z, zone name: N, zone direction: D, " part of a
// detection line.
std::string EventPart(const ::talvenrook::vision::v1::VisionEvent& event);

// True for a published track summary (its event is TRACKING_END).
bool IsTrackSummary(const ::talvenrook::vision::v1::VisionResult& result);

// The line of a published track summary (a result that follows the
// convention), speeds written by speed_text:
//   Track summary: {tracking id: 7, type: person, tracked: 4.2 s,
//   crossings: [Walkway FORWARD 1.50m/s], first box: (10, 20, 30, 80),
//   last box: (300, 40, 32, 82), uuid: ...}
std::string TrackSummaryLine(
    const ::talvenrook::vision::v1::VisionResult& result,
    const std::function<std::string(float)>& speed_text);

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_DETECTION_LOG_H_
