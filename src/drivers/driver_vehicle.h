#ifndef SRC_DRIVERS_DRIVER_VEHICLE_H_
#define SRC_DRIVERS_DRIVER_VEHICLE_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "src/driver/driver_base.h"

namespace vostek_kestu {

// The vehicle analytics driver ("VehicleDriver"): counts vehicles leaving
// zones with a VehicleAnalyticsVideoV1 pipeline and publishes one result
// per ZONE_EXIT event, with speeds in the configured unit.
//
// Keys of the config map (each kept when absent):
//   properties { key: "draw_vehicle_type" value { boolean_value: true } }
//   properties { key: "speed_unit" value { string_value: "km/h" } }
//   properties { key: "only_detection" value { boolean_value: false } }
//   properties { key: "with_family_car" value { boolean_value: true } }
// ("with_family_car" is read with every config map: absent means false).
// Published detections are logged as
//   Detection: {event: ZONE_EXIT, zone id: 0, zone name: Road, zone
//   direction: FORWARD, type: car, speed: 22.37Mph tracking id: 7, uuid: ...}
class VehicleDriver : public BaseDriver {
 public:
  VehicleDriver();
  ~VehicleDriver() override;

  bool Configure(const DriverConfig& config) override;
  void LogDetection(const VisionResult& result) override;
  void DrawResults(const VisionResult& result, cv::Mat& image) override;

  // The line LogDetection writes for a result that follows the convention.
  std::string DetectionLine(const VisionResult& result) const;

  bool draw_vehicle_type() const { return draw_vehicle_type_; }
  int32_t speed_unit() const { return speed_unit_; }
  bool only_detection() const { return only_detection_; }
  // The request as the last configuration left it (capture thread).
  const VisionRequest& request() const { return request_; }

 private:
  void DrawType(const std::string& type, const cv::Rect& box, uint64_t id,
                cv::Mat& image) const;

  // Written by Configure, read by the frame step.
  std::atomic<bool> draw_vehicle_type_{false};
  std::atomic<int32_t> speed_unit_{0};
  std::atomic<bool> only_detection_{false};
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVERS_DRIVER_VEHICLE_H_
