#include "tools/web/zone_layout.h"

#include <vector>

#include "vision/config/entity_config.h"

namespace kestu_tools {
namespace {

using ::talvenrook::common::Entity;
using ::talvenrook::common::Value;
using talvenrook_vision::AsEntity;
using talvenrook_vision::GetPropertyOr;
using talvenrook_vision::HasProperty;

constexpr int kMaxCoordinate = 32767;
constexpr int kMaxShapes = 64;
constexpr int kMaxAreaPoints = 1000;

kestu::tools::FramePoint PointOf(const Entity& map) {
  kestu::tools::FramePoint point;
  point.set_x(GetPropertyOr<int32_t>(map, "x", 0));
  point.set_y(GetPropertyOr<int32_t>(map, "y", 0));
  return point;
}

Value PointValue(const kestu::tools::FramePoint& point) {
  Value value;
  auto& properties = *value.mutable_entity_value()->mutable_properties();
  properties["x"].set_integer_value(point.x());
  properties["y"].set_integer_value(point.y());
  return value;
}

const Value* Find(const Entity& map, const std::string& key) {
  const auto it = map.properties().find(key);
  return it == map.properties().end() ? nullptr : &it->second;
}

// The zone maps that the reader would read, each with its default name.
std::vector<Entity> ZoneMaps(const Entity& config) {
  std::vector<Entity> maps;
  auto add = [&maps](const Value& list, int number) {
    for (const Value& element : list.array_value().values()) {
      Entity zone = AsEntity(element);
      if (!HasProperty(zone, "name")) {
        (*zone.mutable_properties())["name"].set_string_value(
            "Zone #" + std::to_string(number));
      }
      maps.push_back(std::move(zone));
    }
  };
  if (const Value* zones = Find(config, "zones")) {
    add(*zones, 1);
  } else if (const Value* rois = Find(config, "rois")) {
    int number = 0;
    for (const Value& roi : rois->array_value().values()) {
      ++number;
      if (const Value* zones = Find(AsEntity(roi), "zones"))
        add(*zones, number);
    }
  }
  return maps;
}

bool InFrame(const kestu::tools::FramePoint& p) {
  return p.x() >= 0 && p.y() >= 0 && p.x() <= kMaxCoordinate &&
         p.y() <= kMaxCoordinate;
}

}  // namespace

kestu::tools::ZoneLayout LayoutFromConfig(const Entity& config) {
  kestu::tools::ZoneLayout layout;
  int source = 0;
  for (const Entity& zone : ZoneMaps(config)) {
    auto* line = layout.add_lines();
    line->set_source(++source);
    line->set_name(GetPropertyOr(zone, "name", ""));
    if (const Value* a = Find(zone, "A"))
      *line->mutable_a() = PointOf(AsEntity(*a));
    if (const Value* b = Find(zone, "B"))
      *line->mutable_b() = PointOf(AsEntity(*b));
    line->set_height(GetPropertyOr<int32_t>(zone, "height", 0));
    line->set_meter_pixel_ratio(
        GetPropertyOr<double>(zone, "meter_pixel_ratio", 0.0));
    line->set_repeat(GetPropertyOr<bool>(zone, "repeat", false));
  }
  if (const Value* areas = Find(config, "areas")) {
    for (const Value& element : areas->array_value().values()) {
      auto* area = layout.add_areas();
      for (const Value& point : element.array_value().values()) {
        *area->add_points() = PointOf(AsEntity(point));
      }
    }
  }
  return layout;
}

bool ValidLayout(const kestu::tools::ZoneLayout& layout, const Entity& config,
                 std::string* error) {
  if (layout.lines_size() > kMaxShapes || layout.areas_size() > kMaxShapes) {
    *error = "at most " + std::to_string(kMaxShapes) + " lines and " +
             std::to_string(kMaxShapes) + " areas";
    return false;
  }
  const int sources = static_cast<int>(ZoneMaps(config).size());
  for (int i = 0; i < layout.lines_size(); ++i) {
    const auto& line = layout.lines(i);
    const std::string which =
        "line " + std::to_string(i + 1) +
        (line.name().empty() ? "" : " (" + line.name() + ")");
    if (!InFrame(line.a()) || !InFrame(line.b())) {
      *error = which + " has an end outside the frame";
      return false;
    }
    if (line.a().x() == line.b().x() && line.a().y() == line.b().y()) {
      *error = which + " has both ends at the same point";
      return false;
    }
    if (line.height() <= 0 || line.height() > kMaxCoordinate) {
      *error = which + " needs a band height of at least 1 pixel";
      return false;
    }
    if (line.source() < 0 || line.source() > sources) {
      *error = which + " comes from a zone the configuration does not have";
      return false;
    }
    if (!(line.meter_pixel_ratio() >= 0.0)) {
      *error = which + " has a negative scale";
      return false;
    }
  }
  for (int i = 0; i < layout.areas_size(); ++i) {
    const auto& area = layout.areas(i);
    if (area.points_size() < 3 || area.points_size() > kMaxAreaPoints) {
      *error = "area " + std::to_string(i + 1) +
               " needs at least three points (and at most " +
               std::to_string(kMaxAreaPoints) + ")";
      return false;
    }
    for (const auto& point : area.points()) {
      if (!InFrame(point)) {
        *error =
            "area " + std::to_string(i + 1) + " has a point outside the frame";
        return false;
      }
    }
  }
  return true;
}

void ApplyLayout(const kestu::tools::ZoneLayout& layout, Entity* config) {
  const std::vector<Entity> sources = ZoneMaps(*config);
  auto& properties = *config->mutable_properties();
  if (layout.lines_size() > 0 || !sources.empty() ||
      HasProperty(*config, "zones")) {
    Value zones;
    auto* list = zones.mutable_array_value();
    for (const auto& line : layout.lines()) {
      Entity zone = line.source() > 0 ? sources[line.source() - 1] : Entity();
      auto& keys = *zone.mutable_properties();
      if (line.name().empty()) {
        keys.erase("name");
      } else {
        keys["name"].set_string_value(line.name());
      }
      keys["A"] = PointValue(line.a());
      keys["B"] = PointValue(line.b());
      keys["height"].set_integer_value(line.height());
      if (line.meter_pixel_ratio() > 0.0) {
        keys["meter_pixel_ratio"].set_double_value(line.meter_pixel_ratio());
      } else {
        keys.erase("meter_pixel_ratio");
      }
      if (line.repeat()) {
        keys["repeat"].set_boolean_value(true);
      } else {
        keys.erase("repeat");
      }
      *list->add_values()->mutable_entity_value() = std::move(zone);
    }
    properties["zones"] = std::move(zones);
  }
  if (layout.areas_size() > 0 || HasProperty(*config, "areas")) {
    Value areas;
    auto* list = areas.mutable_array_value();
    for (const auto& area : layout.areas()) {
      auto* points = list->add_values()->mutable_array_value();
      for (const auto& point : area.points())
        *points->add_values() = PointValue(point);
    }
    properties["areas"] = std::move(areas);
  }
}

}  // namespace kestu_tools
