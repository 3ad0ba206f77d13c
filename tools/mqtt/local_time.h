// LocalZone: the site's time zone for kestu-mqtt (--time_zone), from the
// system's tzdata through Abseil, and the local times it publishes.
//
// An IANA name ("Europe/Berlin", "Asia/Kolkata", "UTC"); empty: the
// system's own zone, named as the system names it (read as SiteTime
// reads names and the system's zone). Daylight saving follows the
// zone's rules: a local day may last 23 or 25 hours.
//
// Example:
//   LocalZone zone;
//   if (!zone.Load("Europe/Berlin", &error)) return 1;
//   zone.Format(absl::FromUnixSeconds(1806195605));
//   // "2027-03-28T03:00:05+02:00"
#ifndef TOOLS_MQTT_LOCAL_TIME_H_
#define TOOLS_MQTT_LOCAL_TIME_H_

#include <string>

#include "absl/time/civil_time.h"
#include "absl/time/time.h"

namespace kestu_tools {

class LocalZone {
 public:
  // UTC until Load.
  LocalZone();

  // False, with the reason naming `name`, when the system's tzdata does not
  // know it.
  bool Load(const std::string& name, std::string* error);

  // ISO 8601 with the offset in force then: "2027-03-28T03:00:05+02:00".
  std::string Format(absl::Time time) const;
  // The local day of `time`: "2027-03-28".
  std::string DayOf(absl::Time time) const;
  absl::CivilDay CivilDayOf(absl::Time time) const;
  // The local midnight that starts `day` (the first moment of it, where a
  // change of the clocks skips midnight).
  absl::Time Start(absl::CivilDay day) const;

  const std::string& name() const { return name_; }
  const absl::TimeZone& zone() const { return zone_; }

 private:
  absl::TimeZone zone_;
  std::string name_;
};

// "2027-03-28" of a civil day.
std::string DayText(absl::CivilDay day);

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_LOCAL_TIME_H_
