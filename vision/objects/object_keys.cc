#include "vision/objects/object_keys.h"

#include "vision/objects/speed_units.h"

namespace talvenrook_vision {

const KeyTable<ObjectSettings>& ObjectKeyTable() {
  using S = ObjectSettings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Object analytics",
        "Keys of the pipeline's config map read by the object pipeline of "
        "the crowd and vehicle drivers (detection per region, class filter, "
        "suppression, tracking, zones and areas).");
    t->Map("distance_estimation", &S::distance_estimation,
           "Estimate each object's distance: a map of the \"Distance "
           "estimation\" keys.")
        .ShownDefault("absent: off")
        .List("indexes_to_filter", &S::indexes_to_filter,
              "Classes to keep, as label names of an SSD or YOLO model or as "
              "class indexes.")
        .ShownDefault("absent: every class")
        .Bool("enable_tracker", &S::enable_tracker,
              "Follow the objects with one tracker per region; zones and "
              "areas need it.")
        .Bool("use_zones", &S::use_zones,
              "Configure the zones and areas (see Zones, areas and regions).")
        .Bool("draw_objects", &S::draw_objects, "Draw the tracks.")
        .Enum("tracker_appearance", &S::tracker_appearance,
              {{"none", S::Appearance::kNone},
               {"colour_histogram", S::Appearance::kColourHistogram}},
              "Colour descriptor of each detection for the tracker's "
              "occlusion pass (needs tracker_deals_with_occlusion).",
              "Unknown {key} \"{value}\" (\"none\" or \"colour_histogram\"); "
              "no appearance descriptor is computed")
        .Int("tracker_change_frames", &S::tracker_change_frames,
             "Frames of pixel change (tracker_min_change) that confirm a "
             "track.",
             KeyBounds::AtLeast(1).Clamped())
        .Double("suppression_overlap_threshold",
                &S::suppression_overlap_threshold,
                "Overlap above which the weaker of two boxes is suppressed.",
                KeyBounds::Between(0, 1)
                    .Open(true, false)
                    .Problem("{key} {value} is not in (0, 1]; {kept} is used"))
        .Bool("publish_track_summary", &S::publish_track_summary,
              "Publish a summary of every track when it ends.");
    return t;
  }();
  return *table;
}

const KeyTable<MotionGateSettings>& MotionGateKeyTable() {
  using S = MotionGateSettings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Motion gating",
        "Keys of the pipeline's config map: a region's detector runs only on "
        "frames where something moved in it, and at least every "
        "motion_gating_max_skip frames. The cells are those of Motion grid.");
    t->Bool("motion_gating", &S::motion_gating,
            "Run a region's detector only when something moved in it.")
        .Double("motion_gating_min_area", &S::motion_gating_min_area,
                "Share of the region whose cells must change.",
                KeyBounds::Between(0, 1).Problem(
                    "{key} {value} is not in [0, 1]; {kept} is used"))
        .Int("motion_gating_max_skip", &S::motion_gating_max_skip,
             "Frames of a still region after which it is detected again.",
             KeyBounds::AtLeast(0).Problem(
                 "{key} {value} is negative; {kept} is used"));
    return t;
  }();
  return *table;
}

const KeyTable<WrapperSettings>& WrapperKeyTable() {
  using S = WrapperSettings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Crowd and vehicle pipelines",
        "Keys of the pipeline's config map read by the crowd and vehicle "
        "pipelines around the object pipeline.");
    t->Bool("only_detection", &S::only_detection,
            "Vehicle pipeline: skip classification and clear the detections' "
            "types (crowd pipeline: read, no effect).")
        .Bool("allow_backward_motion", &S::allow_backward_motion,
              "Vehicle pipeline: keep the zone events of backward crossings.")
        .List("quantity_skip_obj", &S::quantity_skip_obj,
              "Vehicle pipeline: re-classification period in frames for each "
              "band of vote uncertainty, most certain first.")
        .ShownDefault("empty")
        .Map("clahe", &S::clahe, "Contrast enhancement (see CLAHE).")
        .ShownDefault("absent: off")
        .Map("stats_options", &S::stats_options,
             "Statistics overlay (see Statistics overlay).")
        .ShownDefault("absent: off")
        .Custom("speed_unit", KeyType::kString, "m/s",
                "Unit of the speeds on the statistics overlay: \"km\" or "
                "\"km/h\" (or 1) for kilometres per hour, \"mi\" or "
                "\"miles\" (or 2) for miles per hour, anything else metres "
                "per second.",
                [](const Value& value, S* settings, std::vector<KeyProblem>*) {
                  settings->speed_unit = SpeedUnitFromValue(value);
                });
    return t;
  }();
  return *table;
}

const KeyTable<ClaheSettings>& ClaheKeyTable() {
  using S = ClaheSettings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "CLAHE",
        "Keys of the \"clahe\" map: contrast-limited adaptive histogram "
        "equalisation of the lightness. A missing clip_limit or tile count "
        "leaves it off; a complete group requires both switches.");
    t->Double("clip_limit", &S::clip_limit, "Contrast limit.")
        .Required()
        .Int("tiles_grid_size_x", &S::tiles_grid_size_x, "Tiles across.")
        .Required()
        .Int("tiles_grid_size_y", &S::tiles_grid_size_y, "Tiles down.")
        .Required()
        .Bool("use_at_night", &S::use_at_night, "Enhance night frames.")
        .Required()
        .Bool("use_at_day", &S::use_at_day,
              "Enhance day frames (with use_at_night: every frame).")
        .Required();
    return t;
  }();
  return *table;
}

const KeyTable<StatisticsSettings>& StatisticsKeyTable() {
  using S = StatisticsSettings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Statistics overlay",
        "Keys of the \"stats_options\" map: the panel of per-zone counts and "
        "speeds drawn on the preview.");
    t->Bool("show_speed", &S::show_speed, "Show each zone's last speed.")
        .Bool("show_average_speed", &S::show_average_speed,
              "Show each zone's average speed.")
        .Bool("show_count_per_zone", &S::show_count_per_zone,
              "Show each zone's count.");
    return t;
  }();
  return *table;
}

}  // namespace talvenrook_vision
