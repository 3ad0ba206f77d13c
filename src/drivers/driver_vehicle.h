#ifndef SRC_DRIVERS_DRIVER_VEHICLE_H_
#define SRC_DRIVERS_DRIVER_VEHICLE_H_

#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "src/driver/driver.h"

namespace vostek_kestu {

// The vehicle driver's own keys of the config map (each kept when absent),
// with its log line and drawing.
struct VehicleOptions final : KindOptions {
  bool draw_vehicle_type = false;  // "draw_vehicle_type"
  int32_t speed_unit = 0;          // "speed_unit": 0 m/s, 1 km/h, 2 mph
  bool only_detection = false;     // "only_detection": no type in the line

  std::shared_ptr<const KindOptions> ReadOver(
      const Entity& config) const override;
  std::string DetectionLine(const VisionResult& result) const override;
  // The pipeline's overlay, and with draw_vehicle_type each detection's type
  // in the colour of its track.
  void Draw(const DrawContext& context, const VisionResult& result,
            cv::Mat& image) const override;
};

// The vehicle analytics driver ("VehicleDriver"): counts vehicles leaving
// zones with a VehicleAnalyticsVideoV1 pipeline and publishes one result
// per ZONE_EXIT event, with speeds in the configured unit.
//
// Kind() is its entry of the driver table, from which the process builds
// the Driver; the class only gathers the kind's functions. Keys of the config
// map (each kept when absent):
//   properties { key: "draw_vehicle_type" value { boolean_value: true } }
//   properties { key: "speed_unit" value { string_value: "km/h" } }
//   properties { key: "only_detection" value { boolean_value: false } }
//   properties { key: "with_family_car" value { boolean_value: true } }
// ("with_family_car" is read with every config map: absent means false).
// Published detections are logged as
//   Detection: {event: ZONE_EXIT, zone id: 0, zone name: Road, zone
//   direction: FORWARD, type: car, speed: 22.37Mph tracking id: 7, uuid: ...}
class VehicleDriver {
 public:
  VehicleDriver() = delete;

  static const DriverKind& Kind();
  // The line LogDetection writes for a result that follows the convention.
  static std::string DetectionLine(const VisionResult& result,
                                   const VehicleOptions& options);
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVERS_DRIVER_VEHICLE_H_
