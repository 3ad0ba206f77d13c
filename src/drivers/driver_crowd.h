#ifndef SRC_DRIVERS_DRIVER_CROWD_H_
#define SRC_DRIVERS_DRIVER_CROWD_H_

#include <string>

#include "src/driver/driver_base.h"

namespace vostek_kestu {

// The crowd analytics driver ("CrowdDriver"): counts and follows people
// with a CrowdAnalyticsVideoV1 pipeline and publishes one result per
// ZONE_EXIT event.
//
// A configuration whose eye configuration has a "config" map and models
// builds a new pipeline (through SetupPipeline, so that a pipeline that
// cannot be set up leaves the previous one in place); every configuration
// then goes to BaseDriver::Configure. Published detections are logged as
//   Detection: {event: ZONE_EXIT, zone id: 2, zone name: door, zone
//   direction: FORWARD, type: person, speed: 1.5 m/s, tracking id: 7,
//   uuid: ...}
class CrowdDriver : public BaseDriver {
 public:
  CrowdDriver();
  ~CrowdDriver() override;

  bool Configure(const DriverConfig& config) override;
  void LogDetection(const VisionResult& result) override;
  void DrawResults(const VisionResult& result, cv::Mat& image) override;

  // The line LogDetection writes for a result that follows the convention.
  static std::string DetectionLine(const VisionResult& result);
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVERS_DRIVER_CROWD_H_
