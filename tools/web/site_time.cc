#include "tools/web/site_time.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include <absl/time/civil_time.h>

namespace kestu_tools {
namespace {

constexpr size_t kMaxNameLength = 64;

std::string ZoneDirectory() {
  const char* dir = std::getenv("TZDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo";
}

// Letters, digits, "_", "+", "-" and "/" between names; nothing that would
// leave the tzdata directory.
bool LooksLikeZoneName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength || name[0] == '/' ||
      name.back() == '/' || name.find("..") != std::string::npos ||
      name.find("//") != std::string::npos) {
    return false;
  }
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           (c >= '0' && c <= '9') || c == '_' || c == '+' || c == '-' ||
           c == '/';
  });
}

// The zone name in a path into the tzdata ("/usr/share/zoneinfo/
// Europe/Berlin"), else empty.
std::string NameInPath(const std::string& path) {
  const std::string marker = "zoneinfo/";
  const size_t at = path.rfind(marker);
  if (at == std::string::npos) return "";
  std::string name = path.substr(at + marker.size());
  for (const char* prefix : {"posix/", "right/"}) {
    if (name.rfind(prefix, 0) == 0)
      name = name.substr(std::string(prefix).size());
  }
  return name;
}

std::string FixedName(int offset_seconds) {
  if (offset_seconds == 0) return "UTC";
  const int seconds = std::abs(offset_seconds);
  char text[24];
  std::snprintf(text, sizeof(text), "UTC%c%02d:%02d",
                offset_seconds < 0 ? '-' : '+', seconds / 3600,
                seconds / 60 % 60);
  std::string name = text;
  if (seconds % 60 != 0) {
    std::snprintf(text, sizeof(text), ":%02d", seconds % 60);
    name += text;
  }
  return name;
}

// A fixed offset as FixedName writes it ("UTC+05:30", "UTC-03:00",
// "UTC+09:30:38"), also with Abseil's "Fixed/" before it; false for any
// other text or an offset beyond a day.
bool ReadFixedName(std::string name, int* offset_seconds) {
  if (name.rfind("Fixed/", 0) == 0) name = name.substr(6);
  int hours = 0, minutes = 0, seconds = 0, length = 0;
  char sign = 0;
  if (name.size() < 9 || name.compare(0, 3, "UTC") != 0) return false;
  const bool with_seconds = name.size() == 12;
  if (!with_seconds && name.size() != 9) return false;
  const int read = with_seconds
                       ? std::sscanf(name.c_str(), "UTC%c%2d:%2d:%2d%n", &sign,
                                     &hours, &minutes, &seconds, &length)
                       : std::sscanf(name.c_str(), "UTC%c%2d:%2d%n", &sign,
                                     &hours, &minutes, &length);
  if (read != (with_seconds ? 4 : 3) ||
      length != static_cast<int>(name.size()) || (sign != '+' && sign != '-') ||
      hours > 24 || minutes > 59 || seconds > 59) {
    return false;
  }
  const int total = hours * 3600 + minutes * 60 + seconds;
  if (total > 24 * 3600) return false;
  *offset_seconds = sign == '-' ? -total : total;
  return true;
}

absl::CivilSecond Truncate(BucketUnit unit, const absl::CivilSecond& cs) {
  switch (unit) {
    case BucketUnit::kMinute:
      return absl::CivilSecond(absl::CivilMinute(cs));
    case BucketUnit::kHour:
      return absl::CivilSecond(absl::CivilHour(cs));
    case BucketUnit::kDay:
      break;
  }
  return absl::CivilSecond(absl::CivilDay(cs));
}

absl::CivilSecond Next(BucketUnit unit, const absl::CivilSecond& start) {
  switch (unit) {
    case BucketUnit::kMinute:
      return absl::CivilSecond(absl::CivilMinute(start) + 1);
    case BucketUnit::kHour:
      return absl::CivilSecond(absl::CivilHour(start) + 1);
    case BucketUnit::kDay:
      break;
  }
  return absl::CivilSecond(absl::CivilDay(start) + 1);
}

int64_t Seconds(absl::Time t) { return absl::ToUnixSeconds(t); }

// The instants at which a local time begins: the change itself for one the
// clocks skip, both occurrences of one they repeat.
void Occurrences(const absl::TimeZone& zone, const absl::CivilSecond& local,
                 std::vector<int64_t>* out) {
  const absl::TimeZone::TimeInfo info = zone.At(local);
  switch (info.kind) {
    case absl::TimeZone::TimeInfo::UNIQUE:
      out->push_back(Seconds(info.pre));
      break;
    case absl::TimeZone::TimeInfo::SKIPPED:
      out->push_back(Seconds(info.trans));
      break;
    case absl::TimeZone::TimeInfo::REPEATED:
      out->push_back(Seconds(info.pre));
      out->push_back(Seconds(info.post));
      break;
  }
}

}  // namespace

int64_t NominalSeconds(BucketUnit unit) {
  switch (unit) {
    case BucketUnit::kMinute:
      return 60;
    case BucketUnit::kHour:
      return 3600;
    case BucketUnit::kDay:
      break;
  }
  return 86400;
}

SiteTime::SiteTime() : zone_(absl::UTCTimeZone()), name_("UTC") {}

bool SiteTime::Load(const std::string& name, SiteTime* zone,
                    std::string* error) {
  if (name == "localtime") {
    std::string source;
    *zone = System(&source);
    return true;
  }
  if (name == "UTC") {
    *zone = SiteTime();
    return true;
  }
  if (int offset = 0; ReadFixedName(name, &offset)) {
    *zone = Fixed(offset);
    return true;
  }
  const std::string unknown = "unknown time zone \"" + name + "\": ";
  if (!LooksLikeZoneName(name)) {
    *error = unknown + "not an IANA time zone name (like Europe/Berlin)";
    return false;
  }
  // Only names of files in the tzdata go to Abseil, which keeps every name
  // it was asked for.
  const std::string directory = ZoneDirectory();
  const std::string path = directory + "/" + name;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    *error = unknown + "not in the system's time zone data (" + directory + ")";
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    *error = unknown + "a region of the time zone data, not a zone";
    return false;
  }
  absl::TimeZone loaded;
  if (!absl::LoadTimeZone(name, &loaded)) {
    *error = unknown + "its time zone data (" + path + ") does not read";
    return false;
  }
  *zone = SiteTime(loaded, name);
  return true;
}

SiteTime SiteTime::System(std::string* source) {
  SiteTime zone;
  std::string error;
  const char* tz = std::getenv("TZ");
  std::string skipped;
  if (tz != nullptr && *tz != '\0') {
    std::string name = tz[0] == ':' ? tz + 1 : tz;
    if (!name.empty() && name[0] == '/') name = NameInPath(name);
    if (Load(name, &zone, &error)) {
      *source = "TZ";
      return zone;
    }
    skipped = "TZ=" + std::string(tz) + " names no IANA zone; ";
  }
  char target[4096];
  const ssize_t length = readlink("/etc/localtime", target, sizeof(target) - 1);
  if (length > 0) {
    target[length] = '\0';
    if (Load(NameInPath(target), &zone, &error)) {
      *source = skipped + "/etc/localtime";
      return zone;
    }
  }
  std::string line;
  std::ifstream file("/etc/timezone");
  if (std::getline(file, line)) {
    line.erase(line.find_last_not_of(" \t\r") + 1);
    if (Load(line, &zone, &error)) {
      *source = skipped + "/etc/timezone";
      return zone;
    }
  }
  *source = skipped + "no IANA zone found on the system, so UTC";
  return SiteTime();
}

SiteTime SiteTime::Fixed(int offset_seconds) {
  return SiteTime(absl::FixedTimeZone(offset_seconds),
                  FixedName(offset_seconds));
}

int64_t SiteTime::BucketStart(BucketUnit unit, int64_t t) const {
  const absl::Time at = absl::FromUnixSeconds(t);
  const absl::TimeZone::TimeInfo info =
      zone_.At(Truncate(unit, zone_.At(at).cs));
  int64_t start = Seconds(info.pre);
  if (info.kind == absl::TimeZone::TimeInfo::SKIPPED) {
    start = Seconds(info.trans);
  } else if (info.kind == absl::TimeZone::TimeInfo::REPEATED &&
             Seconds(info.post) <= t) {
    // The second of two hours that read alike.
    start = Seconds(info.post);
  }
  return std::min(start, t);
}

int64_t SiteTime::BucketEnd(BucketUnit unit, int64_t start) const {
  const absl::CivilSecond local =
      Truncate(unit, zone_.At(absl::FromUnixSeconds(start)).cs);
  std::vector<int64_t> candidates;
  Occurrences(zone_, Next(unit, local), &candidates);
  // An hour (or minute) the clocks repeat ends where its repetition
  // starts; a day is one day however its hours go.
  if (unit != BucketUnit::kDay) Occurrences(zone_, local, &candidates);
  int64_t end = start + NominalSeconds(unit);
  bool found = false;
  for (int64_t candidate : candidates) {
    if (candidate > start && (!found || candidate < end)) {
      end = candidate;
      found = true;
    }
  }
  return end;
}

int SiteTime::OffsetSeconds(int64_t t) const {
  return zone_.At(absl::FromUnixSeconds(t)).offset;
}

std::string SiteTime::Abbreviation(int64_t t) const {
  return zone_.At(absl::FromUnixSeconds(t)).zone_abbr;
}

std::string SiteTime::Iso(int64_t t) const {
  const absl::Time at = absl::FromUnixSeconds(t);
  // Seconds in the offset only where it has them (local mean times).
  return absl::FormatTime(zone_.At(at).offset % 60 == 0
                              ? "%Y-%m-%dT%H:%M:%S%Ez"
                              : "%Y-%m-%dT%H:%M:%S%E*z",
                          at, zone_);
}

int64_t SiteTime::FromLocal(const absl::CivilSecond& local) const {
  return Seconds(zone_.At(local).pre);
}

bool ParseSiteTime(const std::string& text, const SiteTime& zone,
                   int64_t* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (*end == '\0' && std::isfinite(seconds) &&
      text.find_first_of("eExXnN") == std::string::npos) {
    if (std::fabs(seconds) > 1e12) return false;
    *out = static_cast<int64_t>(std::floor(seconds));
    return true;
  }
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, used = 0;
  double second = 0.0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &used) !=
          3 ||
      used != 10) {
    return false;
  }
  size_t at = 10;
  if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
    int clock_used = 0;
    if (std::sscanf(text.c_str() + at + 1, "%2d:%2d%n", &hour, &minute,
                    &clock_used) != 2 ||
        clock_used != 5) {
      return false;
    }
    at += 6;
    if (at < text.size() && text[at] == ':') {
      second = std::strtod(text.c_str() + at + 1, &end);
      if (end == text.c_str() + at + 1) return false;
      at = static_cast<size_t>(end - text.c_str());
    }
  }
  bool has_offset = false;
  int64_t offset = 0;
  if (at < text.size()) {
    const std::string suffix = text.substr(at);
    int zone_hours = 0, zone_minutes = 0;
    if (suffix == "Z") {
      has_offset = true;
    } else if ((suffix[0] == '+' || suffix[0] == '-') &&
               (std::sscanf(suffix.c_str() + 1, "%2d:%2d", &zone_hours,
                            &zone_minutes) == 2 ||
                std::sscanf(suffix.c_str() + 1, "%2d%2d", &zone_hours,
                            &zone_minutes) == 2) &&
               (suffix.size() == 6 || suffix.size() == 5)) {
      has_offset = true;
      offset =
          (suffix[0] == '-' ? -1 : 1) * (zone_hours * 3600 + zone_minutes * 60);
    } else {
      return false;
    }
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || !(second >= 0.0 && second < 61.0)) {
    return false;
  }
  // 31 February and the like do not come back as the same date.
  const absl::CivilDay date(year, month, day);
  if (date.month() != month || date.day() != day) return false;
  const absl::CivilSecond local(year, month, day, hour, minute, 0);
  const int64_t whole = static_cast<int64_t>(std::floor(second));
  *out =
      (has_offset
           ? absl::ToUnixSeconds(absl::FromCivil(local, absl::UTCTimeZone())) -
                 offset
           : zone.FromLocal(local)) +
      whole;
  return true;
}

}  // namespace kestu_tools
