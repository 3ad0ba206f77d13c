// SiteTime: a site's time zone from the system's tzdata (through Abseil),
// and the local calendar the history is read in: local minutes, hours and
// days as UTC instants, abbreviations, offsets and ISO 8601 times.
//
// A local day runs from one local midnight to the next, so that a spring
// day may have 23 hours and an autumn day 25. A local hour runs from one
// local full hour to the next; an hour that the clocks repeat is two
// buckets (02:00 summer time, then 02:00 standard time), and where the
// offset is not whole hours (Asia/Kolkata, Australia/Adelaide) the hours
// start at half past in UTC. A bucket whose start the clocks skip starts at
// the change (a 30-minute change gives a 30-minute hour).
//
//   SiteTime berlin;
//   std::string error;
//   if (!SiteTime::Load("Europe/Berlin", &berlin, &error)) ...
//   berlin.BucketStart(BucketUnit::kDay, now);  // the local midnight
//   berlin.Iso(1806192000);  // "2027-03-28T03:00:00+02:00"
#ifndef TOOLS_WEB_SITE_TIME_H_
#define TOOLS_WEB_SITE_TIME_H_

#include <cstdint>
#include <string>
#include <utility>

#include <absl/time/time.h>

namespace kestu_tools {

enum class BucketUnit { kMinute, kHour, kDay };

// Nominal length of a bucket (60, 3600, 86400 seconds).
int64_t NominalSeconds(BucketUnit unit);

class SiteTime {
 public:
  // UTC.
  SiteTime();

  // An IANA name of the system's tzdata ("Europe/Berlin", "UTC");
  // "localtime" is the system's zone; "UTC+05:30" (also "Fixed/UTC+05:30",
  // seconds allowed: "UTC+09:30:38") a fixed offset. False with a text
  // that names the zone and says why it cannot be used.
  static bool Load(const std::string& name, SiteTime* zone, std::string* error);
  // The system's zone: the TZ variable, else the zone /etc/localtime links
  // to, else /etc/timezone; UTC when none names an IANA zone. `source`
  // says which it was (for the log).
  static SiteTime System(std::string* source);
  // A zone that is always `offset_seconds` east of UTC, named "UTC" or
  // like "UTC+01:00".
  static SiteTime Fixed(int offset_seconds);

  const std::string& name() const { return name_; }
  const absl::TimeZone& zone() const { return zone_; }

  // The start of the local bucket holding `t` (seconds since the epoch),
  // and the end of the bucket that starts at `start`.
  int64_t BucketStart(BucketUnit unit, int64_t t) const;
  int64_t BucketEnd(BucketUnit unit, int64_t start) const;

  // At `t`: the offset east of UTC in seconds, the abbreviation ("CEST",
  // "ACDT"; some zones have only numbers, "+0530") and the local time as
  // ISO 8601 with its offset ("2027-03-28T03:00:00+02:00").
  int OffsetSeconds(int64_t t) const;
  std::string Abbreviation(int64_t t) const;
  std::string Iso(int64_t t) const;

  // The instant of a local time. One the clocks skip is read as if they
  // had not changed yet (02:30 on a spring day: 03:30 summer time); one
  // they repeat is its first occurrence.
  int64_t FromLocal(const absl::CivilSecond& local) const;

 private:
  SiteTime(absl::TimeZone zone, std::string name)
      : zone_(zone), name_(std::move(name)) {}

  absl::TimeZone zone_;
  std::string name_;
};

// Seconds since the epoch ("1806192000", fractions floored) or ISO 8601
// ("2027-03-28", "2027-03-28T03:00", "2027-03-28 03:00:00.5",
// "...Z", "...+02:00", "...+0200"); without an offset, a local time of
// `zone`. False when the text does not read or names no date.
bool ParseSiteTime(const std::string& text, const SiteTime& zone, int64_t* out);

}  // namespace kestu_tools

#endif  // TOOLS_WEB_SITE_TIME_H_
