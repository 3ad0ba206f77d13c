#include "vision/tracking/zone_config.h"

#include <algorithm>
#include <iostream>
#include <string>

#include "absl/strings/str_cat.h"
#include "vision/config/setup_notes.h"

namespace talvenrook_vision {
namespace {

// A point map with integer "x" and "y"; an absent or non-integer
// coordinate reads as 0.
cv::Point ReadPoint(const Entity& map) {
  return cv::Point(GetPropertyOr<int32_t>(map, "x", 0),
                   GetPropertyOr<int32_t>(map, "y", 0));
}

// Zone and area coordinates beyond this are refused: the band geometry and
// the drawing work in fixed point and would overflow.
constexpr int32_t kMaxCoordinate = 100000;

bool InRange(int64_t value) {
  return value >= -kMaxCoordinate && value <= kMaxCoordinate;
}

bool InRange(const cv::Point& p) { return InRange(p.x) && InRange(p.y); }

std::string PointText(const cv::Point& p) {
  return "(" + std::to_string(p.x) + ", " + std::to_string(p.y) + ")";
}

// Metres per pixel of a zone; false when it has no usable scale.
bool ReadZoneScale(const Entity& map, const ZoneSettings& zone, double* ratio) {
  if (HasProperty(map, "meter_pixel_ratio")) {
    *ratio = zone.meter_pixel_ratio;
    return true;
  }
  if (!HasProperty(map, "real_height")) return false;
  if (zone.height <= 0) {
    std::cerr << "Zone height has to be a positive number" << std::endl;
    return false;
  }
  *ratio = zone.real_height / zone.height;
  return true;
}

// The named lists of a map (the pipeline's, or a region's "zones").
PlaceListSettings PlaceLists(const Entity& map,
                             const std::vector<std::string>& keys) {
  PlaceListSettings lists;
  WriteKeyProblems(PlaceListKeyTable().ReadOnly(map, keys, &lists));
  return lists;
}

bool ReadZoneList(const ArrayValue& list, int zone_number,
                  double tick_frequency, std::vector<Zone>* zones,
                  std::vector<std::unique_ptr<SpeedEstimator>>* estimators) {
  WriteConfiguringLine(list.values_size(), "zone");
  for (const Value& element : list.values()) {
    const Entity& map = AsEntity(element);
    if (!CheckRequiredProperties(map, {"A", "B", "height"})) {
      NoteError("Zone definition error");
      return false;
    }
    ZoneSettings zone;
    zone.name = "Zone #" + std::to_string(zone_number);
    WriteKeyProblems(ZoneKeyTable().Read(map, &zone));
    if (!InRange(zone.a) || !InRange(zone.b) || !InRange(zone.height)) {
      NoteError(absl::StrCat("Zone ", zone.name, ": A ", PointText(zone.a),
                             ", B ", PointText(zone.b), " or height ",
                             zone.height, " is beyond ", kMaxCoordinate,
                             " pixels"));
      NoteError("Zone definition error");
      return false;
    }
    zones->emplace_back(zone.a, zone.b, zone.height, zone.name, zone.repeat);
    zones->back().set_hand_over(zone.hand_over_frames);
    zones->back().set_direction_names(zone.forward_name, zone.backward_name);
    double ratio = 0.0;
    estimators->push_back(ReadZoneScale(map, zone, &ratio)
                              ? std::make_unique<SpeedEstimator>(
                                    static_cast<float>(ratio), tick_frequency)
                              : nullptr);
  }
  return true;
}

}  // namespace

const KeyTable<ZoneSettings>& ZoneKeyTable() {
  using S = ZoneSettings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Zones",
        "Keys of each element of the pipeline's \"zones\" list (or of the "
        "\"zones\" list of each element of \"rois\"): a band of the given "
        "height along the line from A to B, counting the tracks that cross "
        "it. Coordinates are pixels within 100000.");
    t->String("name", &S::name, "Name of the zone in events and drawings.")
        .ShownDefault("Zone #<n>")
        .Point("A", &S::a, "First end of the zone's line.")
        .Required()
        .Point("B", &S::b, "Second end of the zone's line.")
        .Required()
        .Int("height", &S::height, "Height of the band in pixels.")
        .Required()
        .Bool("repeat", &S::repeat,
              "One crossing for every full pass of a track through the band.")
        .Int("hand_over_frames", &S::hand_over_frames,
             "Frames within which a track that breaks half way through the "
             "band hands its state over to the one that goes on from it.",
             KeyBounds::Between(0, 1000).Clamped())
        .String("forward_name", &S::forward_name,
                "Operator's name of the forward crossings (from the first "
                "boundary line across the second).")
        .String("backward_name", &S::backward_name,
                "Operator's name of the backward crossings.")
        .Double("meter_pixel_ratio", &S::meter_pixel_ratio,
                "Metres per pixel, for the speed of the tracks that cross.")
        .Double("real_height", &S::real_height,
                "Height of the band in metres, when meter_pixel_ratio is "
                "absent (the ratio is real_height / height).");
    return t;
  }();
  return *table;
}

const KeyTable<PlaceListSettings>& PlaceListKeyTable() {
  using S = PlaceListSettings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Zones, areas and regions",
        "Lists of the pipeline's config map. The zones are those of "
        "\"zones\", or, when it is absent, those of the \"zones\" list of "
        "each element of \"rois\".");
    t->List("zones", &S::zones, "Counting zones (see Zones).")
        .ShownDefault("none")
        .List("areas", &S::areas,
              "Areas, each a list of at least 3 points with \"x\" and \"y\" "
              "within 100000 pixels.")
        .ShownDefault("none")
        .List("rois", &S::rois,
              "Regions of interest (see Regions of interest).")
        .ShownDefault("the whole frame");
    return t;
  }();
  return *table;
}

bool ReadZones(const Entity& config, double tick_frequency,
               std::vector<Zone>* zones,
               std::vector<std::unique_ptr<SpeedEstimator>>* estimators) {
  if (HasProperty(config, "zones")) {
    return ReadZoneList(PlaceLists(config, {"zones"}).zones, 1, tick_frequency,
                        zones, estimators);
  }
  if (!HasProperty(config, "rois")) return true;
  bool complete = true;
  const ArrayValue rois = PlaceLists(config, {"rois"}).rois;
  for (int i = 0; i < rois.values_size(); ++i) {
    const Entity& roi = AsEntity(rois.values(i));
    if (!HasProperty(roi, "zones")) continue;
    complete &= ReadZoneList(PlaceLists(roi, {"zones"}).zones, i + 1,
                             tick_frequency, zones, estimators);
  }
  return complete;
}

void ReadAreas(const Entity& config, std::vector<Area>* areas) {
  if (!HasProperty(config, "areas")) {
    NoteInfo("No area found.");
    return;
  }
  const ArrayValue list = PlaceLists(config, {"areas"}).areas;
  WriteConfiguringLine(list.values_size(), "area");
  for (const Value& element : list.values()) {
    ArrayValue points;
    ConvertValue(element, &points);
    std::vector<cv::Point> polygon;
    polygon.reserve(points.values_size());
    for (const Value& point : points.values()) {
      polygon.push_back(ReadPoint(AsEntity(point)));
      if (InRange(polygon.back())) continue;
      NoteError(absl::StrCat("Area #", areas->size() + 1, " point #",
                             polygon.size(), " ", PointText(polygon.back()),
                             " is beyond ", kMaxCoordinate,
                             " pixels; the area reports no event"));
      polygon.clear();
      break;
    }
    areas->emplace_back(std::move(polygon));
  }
}

bool ReadRectangle(const Entity& map, cv::Rect* rect) {
  if (!CheckRequiredProperties(map, {"x", "y", "width", "height"})) {
    NoteError("ROI definition error");
    *rect = cv::Rect();
    return false;
  }
  *rect = cv::Rect(GetPropertyOr<int32_t>(map, "x", 0),
                   GetPropertyOr<int32_t>(map, "y", 0),
                   GetPropertyOr<int32_t>(map, "width", 0),
                   GetPropertyOr<int32_t>(map, "height", 0));
  return true;
}

}  // namespace talvenrook_vision
