#ifndef SRC_DRIVERS_DRIVER_CROWD_H_
#define SRC_DRIVERS_DRIVER_CROWD_H_

#include <memory>
#include <string>

#include "src/driver/driver.h"

namespace vostek_kestu {

// The crowd analytics driver ("CrowdDriver"): counts and follows people
// with a CrowdAnalyticsVideoV1 pipeline and publishes one result per
// ZONE_EXIT event (and per TRACKING_END, the track summaries, when the
// configuration asks for "publish_track_summary").
//
// Kind() is its entry of the driver table, from which the process builds
// the Driver; the class only gathers the kind's functions. A configuration
// whose eye configuration has a "config" map and models builds a new pipeline.
// Published detections are logged as
//   Detection: {event: ZONE_EXIT, zone id: 2, zone name: door, zone
//   direction: FORWARD, type: person, speed: 1.5 m/s, tracking id: 7,
//   uuid: ...}
class CrowdDriver {
 public:
  CrowdDriver() = delete;

  static const DriverKind& Kind();
  // The line LogDetection writes for a result that follows the convention.
  static std::string DetectionLine(const VisionResult& result);
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVERS_DRIVER_CROWD_H_
