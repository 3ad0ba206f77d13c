// SiteTime against the system's tzdata: local days and hours across the
// daylight-saving changes of Europe/Berlin, Australia/Adelaide (a half-hour
// zone) and Australia/Lord_Howe (a half-hour change), the hours of
// Asia/Kolkata, names that are not zones, and local times that the clocks
// skip or repeat. The expected values were worked out with another
// implementation of the tz rules (Python's zoneinfo).
#include "tools/web/site_time.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kestu_tools {
namespace {

SiteTime Zone(const std::string& name) {
  SiteTime zone;
  std::string error;
  EXPECT_TRUE(SiteTime::Load(name, &zone, &error)) << error;
  return zone;
}

struct BucketCase {
  const char* name;
  const char* zone;
  BucketUnit unit;
  int64_t t;  // an instant in the bucket
  std::string start;
  std::string end;
};

TEST(SiteTimeTest, LocalBucketsAcrossTheChanges) {
  const std::vector<BucketCase> cases = {
      {"Berlin's spring day has 23 hours", "Europe/Berlin", BucketUnit::kDay,
       1806235200, "2027-03-28T00:00:00+01:00", "2027-03-29T00:00:00+02:00"},
      {"the hour after the spring change", "Europe/Berlin", BucketUnit::kHour,
       1806197400, "2027-03-28T03:00:00+02:00", "2027-03-28T04:00:00+02:00"},
      {"the first 02:00 of autumn", "Europe/Berlin", BucketUnit::kHour,
       1824942600, "2027-10-31T02:00:00+02:00", "2027-10-31T02:00:00+01:00"},
      {"the second 02:00 of autumn", "Europe/Berlin", BucketUnit::kHour,
       1824946200, "2027-10-31T02:00:00+01:00", "2027-10-31T03:00:00+01:00"},
      {"Berlin's autumn day has 25 hours", "Europe/Berlin", BucketUnit::kDay,
       1824984000, "2027-10-31T00:00:00+02:00", "2027-11-01T00:00:00+01:00"},
      {"Adelaide's April day has 25 hours", "Australia/Adelaide",
       BucketUnit::kDay, 1806807600, "2027-04-04T00:00:00+10:30",
       "2027-04-05T00:00:00+09:30"},
      {"Adelaide's first 02:00 starts at half past in UTC",
       "Australia/Adelaide", BucketUnit::kHour, 1806768900,
       "2027-04-04T02:00:00+10:30", "2027-04-04T02:00:00+09:30"},
      {"Adelaide's second 02:00", "Australia/Adelaide", BucketUnit::kHour,
       1806770700, "2027-04-04T02:00:00+09:30", "2027-04-04T03:00:00+09:30"},
      {"Kolkata's hours start at half past in UTC", "Asia/Kolkata",
       BucketUnit::kHour, 1800008100, "2027-01-15T15:00:00+05:30",
       "2027-01-15T16:00:00+05:30"},
      {"Lord Howe skips half an hour: the hour starts at 02:30",
       "Australia/Lord_Howe", BucketUnit::kHour, 1822491900,
       "2027-10-03T02:30:00+11:00", "2027-10-03T03:00:00+11:00"},
      {"Lord Howe repeats half an hour: the hour lasts 90 minutes",
       "Australia/Lord_Howe", BucketUnit::kHour, 1806765300,
       "2027-04-04T01:00:00+11:00", "2027-04-04T02:00:00+10:30"},
      {"a minute of UTC", "UTC", BucketUnit::kMinute, 1806235230,
       "2027-03-28T12:00:00+00:00", "2027-03-28T12:01:00+00:00"},
  };
  for (const BucketCase& c : cases) {
    SCOPED_TRACE(c.name);
    const SiteTime zone = Zone(c.zone);
    const int64_t start = zone.BucketStart(c.unit, c.t);
    const int64_t end = zone.BucketEnd(c.unit, start);
    EXPECT_EQ(zone.Iso(start), c.start);
    EXPECT_EQ(zone.Iso(end), c.end);
    EXPECT_LE(start, c.t);
    EXPECT_GT(end, c.t);
    // The next bucket starts where this one ends.
    EXPECT_EQ(zone.BucketStart(c.unit, end), end);
    EXPECT_EQ(zone.BucketStart(c.unit, end - 1), start);
  }
}

TEST(SiteTimeTest, AbbreviationsOffsetsAndLocalTimes) {
  struct Case {
    const char* zone;
    int64_t t;
    std::string iso;
    std::string abbreviation;
    int offset;
  };
  const std::vector<Case> cases = {
      {"Europe/Berlin", 1806195600, "2027-03-28T03:00:00+02:00", "CEST", 7200},
      {"Europe/Berlin", 1806195599, "2027-03-28T01:59:59+01:00", "CET", 3600},
      {"Australia/Adelaide", 1806769799, "2027-04-04T02:59:59+10:30", "ACDT",
       37800},
      {"Australia/Adelaide", 1806769800, "2027-04-04T02:00:00+09:30", "ACST",
       34200},
      {"Asia/Kolkata", 1800008100, "2027-01-15T15:45:00+05:30", "IST", 19800},
      {"Australia/Lord_Howe", 1822491900, "2027-10-03T02:45:00+11:00", "+11",
       39600},
      {"UTC", 1806195600, "2027-03-28T01:00:00+00:00", "UTC", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " at " + std::to_string(c.t));
    const SiteTime zone = Zone(c.zone);
    EXPECT_EQ(zone.name(), c.zone);
    EXPECT_EQ(zone.Iso(c.t), c.iso);
    EXPECT_EQ(zone.Abbreviation(c.t), c.abbreviation);
    EXPECT_EQ(zone.OffsetSeconds(c.t), c.offset);
  }
  EXPECT_EQ(SiteTime::Fixed(-30 * 60).name(), "UTC-00:30");
  EXPECT_EQ(SiteTime::Fixed(0).name(), "UTC");
  EXPECT_EQ(SiteTime::Fixed(3600).Iso(1806195600), "2027-03-28T02:00:00+01:00");
  // Fixed offsets load by the names they are given.
  const std::vector<std::pair<std::string, int>> fixed = {
      {"UTC+05:30", 19800},
      {"UTC-03:00", -10800},
      {"Fixed/UTC+09:30:38", 34238},
      {"UTC+24:00", 86400}};
  for (const auto& [name, offset] : fixed) {
    SCOPED_TRACE(name);
    SiteTime zone;
    std::string error;
    ASSERT_TRUE(SiteTime::Load(name, &zone, &error)) << error;
    EXPECT_EQ(zone.OffsetSeconds(1806195600), offset);
    EXPECT_EQ(zone.name(), name.substr(name.rfind('/') + 1));
  }
}

TEST(SiteTimeTest, NamesThatAreNoZoneSayWhy) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Mars/Olympus_Mons", "not in the system's time zone data"},
      {"../../etc/passwd", "not an IANA time zone name"},
      {"/usr/share/zoneinfo/Europe/Berlin", "not an IANA time zone name"},
      {"Europe/Berlin; rm -rf", "not an IANA time zone name"},
      {"Europe", "a region of the time zone data, not a zone"},
      {"", "not an IANA time zone name"},
      {"UTC+25:00", "not an IANA time zone name"},
      {"UTC+5:30", "not an IANA time zone name"},
      {"Fixed/UTC+01:00x", "not an IANA time zone name"},
  };
  for (const auto& [name, reason] : cases) {
    SCOPED_TRACE(name);
    SiteTime zone;
    std::string error;
    EXPECT_FALSE(SiteTime::Load(name, &zone, &error));
    EXPECT_NE(error.find("unknown time zone \"" + name + "\""),
              std::string::npos)
        << error;
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  }
}

TEST(SiteTimeTest, LocalTimesReadInTheZone) {
  const SiteTime berlin = Zone("Europe/Berlin");
  const std::vector<std::pair<std::string, int64_t>> cases = {
      {"2027-03-28", 1806188400},        // local midnight, 23:00Z before
      {"2027-03-28T03:00", 1806195600},  // after the change
      {"2027-03-28T02:30", 1806197400},  // skipped: read as 03:30 summer
      {"2027-10-31T02:30", 1824942600},  // repeated: the first one
      {"2027-03-28T02:30:00Z", 1806201000},
      {"2027-03-28T02:30:59.9+0530", 1806181259},
      {"2027-03-28 01:00:00-01:00", 1806199200},
      {"1806195600.7", 1806195600},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    int64_t t = 0;
    EXPECT_TRUE(ParseSiteTime(text, berlin, &t));
    EXPECT_EQ(t, expected);
  }
  for (const std::string text : {"2027-02-29", "2027-03-28T24:00", "yesterday",
                                 "2027-03-28T03:00+2", "1e9", ""}) {
    int64_t t = 0;
    EXPECT_FALSE(ParseSiteTime(text, berlin, &t)) << text;
  }
}

}  // namespace
}  // namespace kestu_tools
