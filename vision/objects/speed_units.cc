#include "vision/objects/speed_units.h"

#include <cstdio>

namespace talvenrook_vision {

int32_t SpeedUnitFromName(const std::string& name) {
  if (name == "km" || name == "km/h" || name == "1") return kKilometresPerHour;
  if (name == "mi" || name == "miles" || name == "2") return kMilesPerHour;
  return kMetresPerSecond;
}

int32_t SpeedUnitFromValue(const Value& value) {
  switch (value.value_type_case()) {
    case Value::kStringValue:
      return value.string_value().empty()
                 ? kMetresPerSecond
                 : SpeedUnitFromName(value.string_value());
    case Value::kIntegerValue:
      return static_cast<int32_t>(value.integer_value());
    default:
      return kMetresPerSecond;
  }
}

float SpeedFactor(int32_t unit) {
  switch (unit) {
    case kKilometresPerHour:
      return 3.6f;
    case kMilesPerHour:
      return 2.237f;
    default:
      return 1.0f;
  }
}

const char* SpeedSuffix(int32_t unit) {
  switch (unit) {
    case kKilometresPerHour:
      return "Km/h";
    case kMilesPerHour:
      return "Mph";
    default:
      return "m/s";
  }
}

std::string SpeedText(float metres_per_second, int32_t unit) {
  const float converted = metres_per_second * SpeedFactor(unit);
  char text[64];
  std::snprintf(text, sizeof(text), "%.2f%s", static_cast<double>(converted),
                SpeedSuffix(unit));
  return text;
}

}  // namespace talvenrook_vision
