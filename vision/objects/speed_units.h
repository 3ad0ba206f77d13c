// Speed units of the object pipelines and drivers: zone speeds are measured
// in metres per second and shown in the unit a configuration asks for.
//
// Unit codes: 0 metres per second, 1 kilometres per hour, 2 miles per hour;
// any other code behaves as 0. Unit names (exact, case-sensitive): "km",
// "km/h" and "1" mean 1; "mi", "miles" and "2" mean 2; any other string
// means 0.
//
// Example (pipeline or driver config map):
//   properties { key: "speed_unit" value { string_value: "km/h" } }
#ifndef VISION_OBJECTS_SPEED_UNITS_H_
#define VISION_OBJECTS_SPEED_UNITS_H_

#include <cstdint>
#include <string>

#include "vision/config/entity_config.h"

namespace talvenrook_vision {

constexpr int32_t kMetresPerSecond = 0;
constexpr int32_t kKilometresPerHour = 1;
constexpr int32_t kMilesPerHour = 2;

// The code of a unit name.
int32_t SpeedUnitFromName(const std::string& name);
// A "speed_unit" value: a non-empty string is parsed as a name; an integer
// is the code itself; anything else (an empty string included) gives 0.
int32_t SpeedUnitFromValue(const Value& value);

// Single-precision factor from metres per second: 3.6, 2.237 or 1.
float SpeedFactor(int32_t unit);
// "Km/h", "Mph" or "m/s".
const char* SpeedSuffix(int32_t unit);
// The speed converted in single precision, fixed with 2 decimals, directly
// followed by the suffix: 12.5 m/s in unit 1 is "45.00Km/h".
std::string SpeedText(float metres_per_second, int32_t unit);

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_SPEED_UNITS_H_
