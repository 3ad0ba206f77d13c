// Readers of the zone, area and rectangle settings of a pipeline's
// configuration map. Messages go to standard error.
//
// Example pipeline map (protobuf text format):
//   properties { key: "zones" value { array_value { values { entity_value {
//     properties { key: "A" value { entity_value {
//       properties { key: "x" value { integer_value: 0 } }
//       properties { key: "y" value { integer_value: 300 } } } } }
//     properties { key: "B" value { entity_value {
//       properties { key: "x" value { integer_value: 640 } }
//       properties { key: "y" value { integer_value: 300 } } } } }
//     properties { key: "height" value { integer_value: 40 } }
//     properties { key: "real_height" value { double_value: 4.0 } } } } } } }
//   properties { key: "areas" value { array_value { values { array_value {
//     values { entity_value { ...x, y... } } ... } } } } }
#ifndef VISION_TRACKING_ZONE_CONFIG_H_
#define VISION_TRACKING_ZONE_CONFIG_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/config/entity_config.h"
#include "vision/config/key_table.h"
#include "vision/tracking/area.h"
#include "vision/tracking/speed_estimator.h"
#include "vision/tracking/zone.h"

namespace talvenrook_vision {

// The keys of one element of a "zones" list.
struct ZoneSettings {
  std::string name;  // the reader's default: "Zone #<n>"
  cv::Point a;
  cv::Point b;
  int32_t height = 0;
  bool repeat = false;
  int32_t hand_over_frames = 0;
  std::string forward_name;
  std::string backward_name;
  double meter_pixel_ratio = 0.0;  // used when present
  double real_height = 0.0;        // used when present, without the above
};

// Built on first use; safe to call from any thread.
const KeyTable<ZoneSettings>& ZoneKeyTable();

// The lists of the pipeline's config map that hold zones, areas and
// regions of interest ("zones" also stands in each element of "rois").
struct PlaceListSettings {
  ArrayValue zones;
  ArrayValue areas;
  ArrayValue rois;
};
const KeyTable<PlaceListSettings>& PlaceListKeyTable();

// Appends the zones of "zones", or, when that key is absent, those of the
// "zones" list of every element of "rois" (numbered from 1 in list order).
// Every zone gets one estimator slot at the same index, empty when the zone
// has no usable scale. A zone missing "A", "B" or "height" stops its list
// with "ERROR: Zone definition error"; the zones already built stay, and
// the result is false.
bool ReadZones(const Entity& config, double tick_frequency,
               std::vector<Zone>* zones,
               std::vector<std::unique_ptr<SpeedEstimator>>* estimators);

// Appends one area per element of "areas" (each a list of points with "x"
// and "y"), or writes "INFO: No area found." when the key is absent.
void ReadAreas(const Entity& config, std::vector<Area>* areas);

// Reads the required "x", "y", "width" and "height". When one is missing,
// writes each missing key and "ERROR: ROI definition error", stores
// (0, 0, 0, 0) and returns false.
bool ReadRectangle(const Entity& map, cv::Rect* rect);

}  // namespace talvenrook_vision

#endif  // VISION_TRACKING_ZONE_CONFIG_H_
