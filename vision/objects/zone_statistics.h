// ZoneStatistics: the per-zone table of exits and speeds that the crowd and
// vehicle pipelines draw in the top-right corner of the frame.
//
// The pipeline records every ZONE_EXIT event (zone name, speed in metres
// per second). Draw shows one column per zone, in zone-name order, with the
// zone's name, the speed of the last exit, the average exit speed and the
// exit count, and a header column to their left. Columns are 150 pixels
// wide and 15 % of the frame high. Nothing is drawn unless "stats_options"
// is configured; exits are recorded either way.
//
// Example (pipeline config map):
//   properties { key: "speed_unit" value { string_value: "km/h" } }
//   properties { key: "stats_options" value { entity_value {
//     properties { key: "show_speed" value { boolean_value: true } }
//     properties { key: "show_average_speed" value { boolean_value: true } }
//     properties { key: "show_count_per_zone" value { boolean_value: true } }
//   } } }
//
// Not thread-safe: recorded and drawn on the thread of the frame step.
#ifndef VISION_OBJECTS_ZONE_STATISTICS_H_
#define VISION_OBJECTS_ZONE_STATISTICS_H_

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include <opencv2/core.hpp>

#include "talvenrook/vision/v1/vision.pb.h"
#include "vision/config/entity_config.h"

namespace talvenrook_vision {

class ZoneStatistics {
 public:
  static constexpr int kColumnWidth = 150;

  // Reads "speed_unit" (whether or not "stats_options" is present) and the
  // "stats_options" map.
  void Configure(const Entity& config);
  // One exit of the named zone; every exit counts, also one of speed 0.
  void Record(const std::string& zone_name, float speed);
  // Adds exits counted elsewhere (before a restart).
  void Restore(const std::string& zone_name, int64_t count, double speed_sum,
               float last_speed);
  void Draw(cv::Mat& frame) const;

  // The four text lines of a zone's column (name, last speed, average
  // speed, count), "-" where a value is not shown.
  std::array<std::string, 4> ColumnText(const std::string& zone_name) const;

  bool enabled() const { return enabled_; }
  int32_t speed_unit() const { return speed_unit_; }
  const std::map<std::string, int32_t>& counts() const { return counts_; }
  const std::map<std::string, float>& speed_sums() const { return speed_sums_; }

 private:
  void DrawColumn(cv::Mat& frame, int x, int panel_height,
                  const std::array<std::string, 4>& lines) const;

  bool enabled_ = false;
  bool show_average_speed_ = false;
  bool show_speed_ = false;
  bool show_count_per_zone_ = false;
  int32_t speed_unit_ = 0;
  std::map<std::string, int32_t> counts_;  // iteration order = column order
  std::map<std::string, float> speed_sums_;
  std::map<std::string, float> last_speeds_;
};

// Records every ZONE_EXIT event of the result (its zone name and speed);
// other events are not counted.
void RecordZoneExits(const ::talvenrook::vision::v1::VisionResult& result,
                     ZoneStatistics* statistics);

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_ZONE_STATISTICS_H_
