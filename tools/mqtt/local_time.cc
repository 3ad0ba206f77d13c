#include "tools/mqtt/local_time.h"

#include "tools/web/site_time.h"

namespace kestu_tools {

LocalZone::LocalZone() : zone_(absl::UTCTimeZone()), name_("UTC") {}

bool LocalZone::Load(const std::string& name, std::string* error) {
  SiteTime site;
  if (name.empty()) {
    std::string source;
    site = SiteTime::System(&source);
  } else if (!SiteTime::Load(name, &site, error)) {
    *error = "--time_zone: " + *error;
    return false;
  }
  zone_ = site.zone();
  name_ = site.name();
  return true;
}

std::string LocalZone::Format(absl::Time time) const {
  return absl::FormatTime("%Y-%m-%dT%H:%M:%S%Ez", time, zone_);
}

std::string LocalZone::DayOf(absl::Time time) const {
  return DayText(CivilDayOf(time));
}

absl::CivilDay LocalZone::CivilDayOf(absl::Time time) const {
  return absl::ToCivilDay(time, zone_);
}

absl::Time LocalZone::Start(absl::CivilDay day) const {
  // Where midnight is skipped, the first moment after the gap.
  const absl::TimeZone::TimeInfo info = zone_.At(absl::CivilSecond(day));
  return info.kind == absl::TimeZone::TimeInfo::SKIPPED ? info.trans : info.pre;
}

std::string DayText(absl::CivilDay day) { return absl::FormatCivilTime(day); }

}  // namespace kestu_tools
