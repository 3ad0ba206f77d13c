// The configuration keys of the object pipelines (SSDAnalyticsVideoV1 and
// the crowd and vehicle pipelines that wrap it), declared once each: name,
// type, default (the settings struct's initialiser), bounds and one line of
// description. Each component reads its table once, at set-up, into its
// settings struct; the reference (docs/configuration.md) is generated from
// the same tables.
//
// Lists and nested maps ("indexes_to_filter", "zones", "clahe", ...) are
// declared here and read element by element by the component that uses
// them; a nested map with keys of its own has a table of its own.
//
// Example pipeline configuration (config map):
//   properties { key: "enable_tracker" value { boolean_value: true } }
//   properties { key: "motion_gating" value { boolean_value: true } }
//   properties { key: "suppression_overlap_threshold"
//                value { double_value: 0.3 } }
//   properties { key: "clahe" value { entity_value {
//     properties { key: "clip_limit" value { double_value: 2.0 } }
//     properties { key: "tiles_grid_size_x" value { integer_value: 8 } }
//     properties { key: "tiles_grid_size_y" value { integer_value: 8 } }
//     properties { key: "use_at_night" value { boolean_value: true } }
//     properties { key: "use_at_day" value { boolean_value: false } } } } }
#ifndef VISION_OBJECTS_OBJECT_KEYS_H_
#define VISION_OBJECTS_OBJECT_KEYS_H_

#include <cstdint>

#include "vision/config/key_table.h"
#include "vision/objects/detection_filter.h"

namespace talvenrook_vision {

// The keys of SSDAnalyticsVideoV1 itself.
struct ObjectSettings {
  enum class Appearance { kNone, kColourHistogram };

  Entity distance_estimation;
  ArrayValue indexes_to_filter;
  bool enable_tracker = true;
  bool use_zones = true;
  bool draw_objects = true;
  Appearance tracker_appearance = Appearance::kNone;
  int32_t tracker_change_frames = 3;
  double suppression_overlap_threshold = DetectionFilter::kOverlapThreshold;
  bool publish_track_summary = false;
};

// Motion gating of the regions' detectors (MotionGate); the grid's keys
// are MotionGrid's, read over the gating defaults below.
struct MotionGateSettings {
  bool motion_gating = false;
  double motion_gating_min_area = 0.005;
  int32_t motion_gating_max_skip = 10;
};

// The keys of the crowd and vehicle pipelines around SSDAnalyticsVideoV1.
struct WrapperSettings {
  bool only_detection = false;
  bool allow_backward_motion = true;
  ArrayValue quantity_skip_obj;
  Entity clahe;
  Entity stats_options;
  int32_t speed_unit = 0;  // kMetresPerSecond
};

// The keys of the "clahe" map (ClaheEnhancer).
struct ClaheSettings {
  double clip_limit = 0.0;
  int32_t tiles_grid_size_x = 0;
  int32_t tiles_grid_size_y = 0;
  bool use_at_night = false;
  bool use_at_day = false;
};

// The keys of the "stats_options" map (ZoneStatistics).
struct StatisticsSettings {
  bool show_speed = false;
  bool show_average_speed = false;
  bool show_count_per_zone = false;
};

// Each built on first use; safe to call from any thread.
const KeyTable<ObjectSettings>& ObjectKeyTable();
const KeyTable<MotionGateSettings>& MotionGateKeyTable();
const KeyTable<WrapperSettings>& WrapperKeyTable();
const KeyTable<ClaheSettings>& ClaheKeyTable();
const KeyTable<StatisticsSettings>& StatisticsKeyTable();

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_OBJECT_KEYS_H_
