#include "vision/tracking/zone_config.h"

#include <algorithm>
#include <iostream>
#include <string>

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
bool ReadZoneScale(const Entity& map, int32_t height, double* ratio) {
  if (ReadPropertyIfPresent(map, "meter_pixel_ratio", ratio)) return true;
  double real_height = 0.0;
  if (!ReadPropertyIfPresent(map, "real_height", &real_height)) return false;
  if (height <= 0) {
    std::cerr << "Zone height has to be a positive number" << std::endl;
    return false;
  }
  *ratio = real_height / height;
  return true;
}

bool ReadZoneList(const Value& list_value, int zone_number,
                  double tick_frequency, std::vector<Zone>* zones,
                  std::vector<std::unique_ptr<SpeedEstimator>>* estimators) {
  ArrayValue list;
  ConvertValue(list_value, &list);
  WriteConfiguringLine(list.values_size(), "zone");
  for (const Value& element : list.values()) {
    const Entity& map = AsEntity(element);
    if (!CheckRequiredProperties(map, {"A", "B", "height"})) {
      std::cerr << "ERROR: Zone definition error" << std::endl;
      return false;
    }
    const int32_t height = GetPropertyOr<int32_t>(map, "height", 0);
    std::string name = "Zone #" + std::to_string(zone_number);
    ReadPropertyIfPresent(map, "name", &name);
    const cv::Point a = ReadPoint(AsEntity(GetProperty(map, "A")));
    const cv::Point b = ReadPoint(AsEntity(GetProperty(map, "B")));
    if (!InRange(a) || !InRange(b) || !InRange(height)) {
      std::cerr << "ERROR: Zone " << name << ": A " << PointText(a) << ", B "
                << PointText(b) << " or height " << height << " is beyond "
                << kMaxCoordinate << " pixels" << std::endl;
      std::cerr << "ERROR: Zone definition error" << std::endl;
      return false;
    }
    // Opt-in: one crossing for every full pass of a track through the band.
    const bool repeat = GetPropertyOr(map, "repeat", false);
    zones->emplace_back(a, b, height, name, repeat);
    // Opt-in: a track that breaks half way through the band hands its
    // state over to the one that goes on from it.
    const int32_t hand_over =
        GetPropertyOr<int32_t>(map, "hand_over_frames", 0);
    zones->back().set_hand_over(std::clamp(hand_over, 0, 1000));
    // Opt-in: the operator's names of the two directions.
    zones->back().set_direction_names(GetPropertyOr(map, "forward_name", ""),
                                      GetPropertyOr(map, "backward_name", ""));
    double ratio = 0.0;
    estimators->push_back(ReadZoneScale(map, height, &ratio)
                              ? std::make_unique<SpeedEstimator>(
                                    static_cast<float>(ratio), tick_frequency)
                              : nullptr);
  }
  return true;
}

}  // namespace

bool ReadZones(const Entity& config, double tick_frequency,
               std::vector<Zone>* zones,
               std::vector<std::unique_ptr<SpeedEstimator>>* estimators) {
  if (HasProperty(config, "zones")) {
    return ReadZoneList(GetProperty(config, "zones"), 1, tick_frequency, zones,
                        estimators);
  }
  if (!HasProperty(config, "rois")) return true;
  bool complete = true;
  ArrayValue rois;
  ConvertValue(GetProperty(config, "rois"), &rois);
  for (int i = 0; i < rois.values_size(); ++i) {
    const Entity& roi = AsEntity(rois.values(i));
    if (!HasProperty(roi, "zones")) continue;
    complete &= ReadZoneList(GetProperty(roi, "zones"), i + 1, tick_frequency,
                             zones, estimators);
  }
  return complete;
}

void ReadAreas(const Entity& config, std::vector<Area>* areas) {
  if (!HasProperty(config, "areas")) {
    std::cerr << "INFO: No area found." << std::endl;
    return;
  }
  ArrayValue list;
  ConvertValue(GetProperty(config, "areas"), &list);
  WriteConfiguringLine(list.values_size(), "area");
  for (const Value& element : list.values()) {
    ArrayValue points;
    ConvertValue(element, &points);
    std::vector<cv::Point> polygon;
    polygon.reserve(points.values_size());
    for (const Value& point : points.values()) {
      polygon.push_back(ReadPoint(AsEntity(point)));
      if (InRange(polygon.back())) continue;
      std::cerr << "ERROR: Area #" << (areas->size() + 1) << " point #"
                << polygon.size() << " " << PointText(polygon.back())
                << " is beyond " << kMaxCoordinate
                << " pixels; the area reports no event" << std::endl;
      polygon.clear();
      break;
    }
    areas->emplace_back(std::move(polygon));
  }
}

bool ReadRectangle(const Entity& map, cv::Rect* rect) {
  if (!CheckRequiredProperties(map, {"x", "y", "width", "height"})) {
    std::cerr << "ERROR: ROI definition error" << std::endl;
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
