// kestu-web in named time zones: zone exits in a real history counted per
// local hour and day around the daylight-saving changes of Europe/Berlin
// and Australia/Adelaide and in Asia/Kolkata (JSON and CSV), unknown zones
// refused with the reason, the totals of today and since each line was
// created, and the page in headless Chromium whose own zone is another
// than the site's. The expected buckets were worked out with another
// implementation of the tz rules (Python's zoneinfo).
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <absl/strings/str_split.h>
#include <absl/strings/strip.h>
#include <absl/time/civil_time.h>
#include <absl/time/time.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <zmq.hpp>

#include "kestu_tools.pb.h"
#include "tests/tools/devtools_browser.h"
#include "tests/tools/fake_process.h"
#include "tests/tools/web_test_util.h"
#include "tools/driver_client.h"
#include "tools/web/event_store.h"
#include "tools/web/web_util.h"
#include "tools/web/zone_first_seen.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;

constexpr char kProcess[] = "127.0.0.1:60000";

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "kestu-time-zone-" + std::to_string(getpid()) +
         "-" + name;
}

void RemoveDatabase(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"})
    std::remove((path + suffix).c_str());
}

StoredEvent Exit(const std::string& driver, int64_t time,
                 const std::string& zone,
                 const std::string& direction = "FORWARD",
                 const std::string& process = kProcess) {
  StoredEvent e;
  e.process = process;
  e.driver = driver;
  e.time = static_cast<double>(time);
  e.tag = "ZONE_EXIT";
  e.zone = zone;
  e.direction = direction;
  e.type = "person";
  e.result_json = "{}";
  return e;
}

// `count` exits of the zone, one an hour from `first`.
void Hourly(std::vector<StoredEvent>* events, const std::string& zone,
            int64_t first, int count) {
  for (int i = 0; i < count; ++i) {
    events->push_back(Exit("crowd", first + i * 3600, zone));
  }
}

void WriteEvents(const std::string& path,
                 const std::vector<StoredEvent>& events) {
  EventStore store;
  std::string error;
  ASSERT_TRUE(store.Open(path, &error)) << error;
  ASSERT_TRUE(store.Append(events, {}, &error)) << error;
}

kestu::tools::CountsAnswer Answer(const std::string& json) {
  kestu::tools::CountsAnswer answer;
  EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(json, &answer).ok())
      << json;
  return answer;
}

// Rows as "start_local count;...".
std::string LocalRows(const kestu::tools::CountsAnswer& answer) {
  std::string rows;
  for (const auto& r : answer.rows()) {
    if (!rows.empty()) rows += ";";
    rows += r.start_local() + " " + std::to_string(r.count());
  }
  return rows;
}

struct ZoneCase {
  const char* name;
  std::string query;
  std::string rows;
};

TEST(WebTimeZoneTest, CountsPerLocalHourAndDayAcrossDaylightSaving) {
  const std::string database = TempPath("counts.sqlite");
  RemoveDatabase(database);
  std::vector<StoredEvent> events;
  Hourly(&events, "Spring", 1806177600, 28);    // from 2027-03-27T20:00Z
  Hourly(&events, "Autumn", 1824926400, 30);    // from 2027-10-30T20:00Z
  Hourly(&events, "Adelaide", 1806670800, 60);  // from 2027-04-02T13:00Z
  // 2027-01-15 10:15Z, 10:45Z, 11:10Z and 11:30Z: 15:45 to 17:00 in India.
  for (int minutes : {0, 30, 55, 75}) {
    events.push_back(Exit("crowd", 1800008100 + minutes * 60, "Kolkata"));
  }
  WriteEvents(database, events);
  const int base = PortBlock(100);
  WebProcess web(base + 17, {Address(base)},
                 {"--database=" + database, "--retention_days=0",
                  "--time_zone=Europe/Berlin"});
  ASSERT_TRUE(web.Started());
  ASSERT_TRUE(web.child().WaitForStderr(
      "times in Europe/Berlin (from --time_zone)", kWait));
  httplib::Client client("127.0.0.1", web.port());

  const std::vector<ZoneCase> cases = {
      {"Berlin's spring days: 3, 23 and 2",
       "zone=Spring&bucket=day&tz=Europe/Berlin&from=2027-03-27&to=2027-03-30",
       "2027-03-27T00:00:00+01:00 3;2027-03-28T00:00:00+01:00 23;"
       "2027-03-29T00:00:00+02:00 2"},
      {"a fixed offset counts as it always did",
       "zone=Spring&bucket=day&utc_offset=60&from=2027-03-27&to=2027-03-30",
       "2027-03-27T00:00:00+01:00 3;2027-03-28T00:00:00+01:00 24;"
       "2027-03-29T00:00:00+01:00 1"},
      {"Berlin's spring hours skip 02:00",
       "zone=Spring&tz=Europe/Berlin&from=2027-03-28T00:00"
       "&to=2027-03-28T05:00",
       "2027-03-28T00:00:00+01:00 1;2027-03-28T01:00:00+01:00 1;"
       "2027-03-28T03:00:00+02:00 1;2027-03-28T04:00:00+02:00 1"},
      {"Berlin's autumn days: 2, 25 and 3",
       "zone=Autumn&bucket=day&tz=Europe/Berlin&from=2027-10-30&to=2027-11-02",
       "2027-10-30T00:00:00+02:00 2;2027-10-31T00:00:00+02:00 25;"
       "2027-11-01T00:00:00+01:00 3"},
      {"Berlin's autumn hours hold 02:00 twice",
       "zone=Autumn&tz=Europe/Berlin&from=2027-10-31T01:00"
       "&to=2027-10-31T04:00",
       "2027-10-31T01:00:00+02:00 1;2027-10-31T02:00:00+02:00 1;"
       "2027-10-31T02:00:00+01:00 1;2027-10-31T03:00:00+01:00 1"},
      {"Adelaide's April days: the change's has 25 hours",
       "zone=Adelaide&bucket=day&tz=Australia/Adelaide&from=2027-04-02"
       "&to=2027-04-06",
       "2027-04-02T00:00:00+10:30 1;2027-04-03T00:00:00+10:30 24;"
       "2027-04-04T00:00:00+10:30 25;2027-04-05T00:00:00+09:30 10"},
      {"Adelaide's hours on half hours of UTC, 02:00 twice",
       "zone=Adelaide&tz=Australia/Adelaide&from=2027-04-04T00:00"
       "&to=2027-04-04T04:00",
       "2027-04-04T00:00:00+10:30 1;2027-04-04T01:00:00+10:30 1;"
       "2027-04-04T02:00:00+10:30 1;2027-04-04T02:00:00+09:30 1;"
       "2027-04-04T03:00:00+09:30 1"},
      {"Kolkata's hours",
       "zone=Kolkata&tz=Asia/Kolkata&from=2027-01-15T15:00"
       "&to=2027-01-15T18:00",
       "2027-01-15T15:00:00+05:30 1;2027-01-15T16:00:00+05:30 2;"
       "2027-01-15T17:00:00+05:30 1"},
  };
  for (const ZoneCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto response = client.Get(("/api/counts?" + c.query).c_str());
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200) << response->body;
    EXPECT_EQ(LocalRows(Answer(response->body)), c.rows);
  }
  // The answer names its zone; the rows' start stays in UTC.
  const auto kolkata = Answer(
      Get(client,
          "/api/counts?zone=Kolkata&tz=Asia/Kolkata&from=2027-01-15T15:00"
          "&to=2027-01-15T16:00"));
  EXPECT_EQ(kolkata.time_zone(), "Asia/Kolkata");
  ASSERT_EQ(kolkata.rows_size(), 1);
  EXPECT_EQ(kolkata.rows(0).start(), "2027-01-15T09:30:00Z");
  EXPECT_EQ(Answer(Get(client, "/api/counts?zone=Kolkata")).time_zone(), "UTC");

  // Every bucket of the range, the 23-hour day among them.
  const auto spring = Answer(
      Get(client,
          "/api/counts?zone=Spring&bucket=day&tz=Europe/Berlin&from=2027-03-27"
          "&to=2027-03-30&all_buckets=1"));
  std::string hours;
  for (const auto& span : spring.buckets()) {
    hours +=
        std::to_string(static_cast<int>(span.end() - span.epoch()) / 3600) +
        " ";
  }
  EXPECT_EQ(hours, "24 23 24 ");
  // The last 3 days up to today's.
  const auto last = Answer(
      Get(client,
          "/api/counts?bucket=day&last=3&tz=Australia/Adelaide&all_buckets=1"));
  ASSERT_EQ(last.buckets_size(), 3);
  const double now = static_cast<double>(time(nullptr));
  EXPECT_LE(last.buckets(2).epoch(), now);
  EXPECT_GT(last.buckets(2).end(), now);
  EXPECT_EQ(last.buckets(0).end(), last.buckets(1).epoch());
  EXPECT_EQ(last.from(), last.buckets(0).epoch());

  // The CSV keeps its columns and adds the local start and the zone.
  const auto csv = client.Get(
      "/api/counts.csv?zone=Kolkata&tz=Asia/Kolkata&from=2027-01-15T15:00"
      "&to=2027-01-15T17:00");
  ASSERT_TRUE(csv);
  EXPECT_EQ(csv->body,
            "start,epoch,process,driver,tag,zone,direction,count,start_local,"
            "time_zone\r\n"
            "2027-01-15T09:30:00Z,1800005400,127.0.0.1:60000,crowd,ZONE_EXIT,"
            "Kolkata,FORWARD,1,2027-01-15T15:00:00+05:30,Asia/Kolkata\r\n"
            "2027-01-15T10:30:00Z,1800009000,127.0.0.1:60000,crowd,ZONE_EXIT,"
            "Kolkata,FORWARD,2,2027-01-15T16:00:00+05:30,Asia/Kolkata\r\n");
  const std::string spring_csv =
      Get(client,
          "/api/counts.csv?zone=Spring&bucket=day&tz=Europe/Berlin"
          "&from=2027-03-27&to=2027-03-30");
  EXPECT_NE(spring_csv.find(",23,2027-03-28T00:00:00+01:00,Europe/Berlin\r\n"),
            std::string::npos)
      << spring_csv;

  // Refused, with the reason; never answered in UTC instead.
  const std::vector<ZoneCase> refused = {
      {"an unknown zone", "/api/counts?tz=Mars/Olympus_Mons",
       "unknown time zone \"Mars/Olympus_Mons\": not in the system's time "
       "zone data"},
      {"an unknown zone, CSV", "/api/counts.csv?tz=Europe/Atlantis",
       "unknown time zone \"Europe/Atlantis\""},
      {"not a zone name", "/api/counts?tz=../../etc/passwd",
       "not an IANA time zone name"},
      {"tz and utc_offset", "/api/counts?tz=Europe/Berlin&utc_offset=60",
       "not both"},
      {"last and from", "/api/counts?last=3&from=2027-01-01", "not both"},
  };
  for (const ZoneCase& c : refused) {
    SCOPED_TRACE(c.name);
    const auto response = client.Get(c.query.c_str());
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 400);
    EXPECT_NE(Answer(response->body).error().find(c.rows), std::string::npos)
        << response->body;
    EXPECT_EQ(Answer(response->body).rows_size(), 0);
  }
  RemoveDatabase(database);
}

int64_t HourFloor(int64_t t) { return t / 3600 * 3600; }

TEST(WebTimeZoneTest, TotalsTodayAndSinceTheLineWasCreated) {
  const std::string database = TempPath("totals.sqlite");
  RemoveDatabase(database);
  absl::TimeZone india;
  ASSERT_TRUE(absl::LoadTimeZone("Asia/Kolkata", &india));
  const int64_t now = time(nullptr);
  const int64_t midnight = absl::ToUnixSeconds(absl::FromCivil(
      absl::CivilDay(india.At(absl::FromUnixSeconds(now)).cs), india));
  const int64_t day = 86400;
  WriteEvents(database, {Exit("crowd", midnight + 1, "Door"),
                         Exit("crowd", midnight + 2, "Door"),
                         Exit("crowd", midnight + 3, "Door", "BACKWARD"),
                         Exit("crowd", midnight - 1, "Door"),
                         Exit("crowd", now - 3 * day, "Door"),
                         Exit("crowd", now - 10 * day, "Hall"),
                         Exit("crowd", now - 2 * day, "Hall"),
                         Exit("crowd", midnight + 5, "Hall", "BACKWARD"),
                         Exit("crowd", now - 5 * day, "Gate"),
                         Exit("vehicle", midnight + 1, "Lane")});
  {
    // Door and Hall were seen before their first exits; Gate was not: its
    // row comes from the history.
    ZoneFirstSeen first_seen;
    std::string error;
    ASSERT_TRUE(first_seen.Open(database, &error)) << error;
    first_seen.Saw(kProcess, "crowd", "Door", now - 4 * day);
    first_seen.Saw(kProcess, "crowd", "Hall", now - 20 * day);
    first_seen.Saw(kProcess, "crowd", "Hall", now - 19 * day);  // later
  }
  const int base = PortBlock(101);
  WebProcess web(base + 17, {Address(base)},
                 {"--database=" + database, "--retention_days=7",
                  "--time_zone=Asia/Kolkata"});
  ASSERT_TRUE(web.Started());
  ASSERT_TRUE(web.child().WaitForStderr("pruned", kWait))
      << web.child().Stderr();
  httplib::Client client("127.0.0.1", web.port());
  kestu::tools::TotalsAnswer answer;
  ASSERT_TRUE(
      google::protobuf::util::JsonStringToMessage(
          Get(client, "/api/totals?process=127.0.0.1:60000&driver=crowd"),
          &answer)
          .ok());
  EXPECT_EQ(answer.error(), "");
  EXPECT_EQ(answer.time_zone().time_zone(), "Asia/Kolkata");
  EXPECT_EQ(answer.time_zone().abbreviation(), "IST");
  EXPECT_EQ(answer.time_zone().utc_offset_seconds(), 19800);
  EXPECT_EQ(answer.day_start(), midnight);
  // zone direction today total first_seen from_history pruned
  struct Expected {
    const char* zone;
    const char* direction;
    int64_t today;
    int64_t total;
    int64_t first_seen;
    bool from_history;
    bool pruned;
  };
  const int64_t horizon = HourFloor(now - 7 * day);
  const std::vector<Expected> expected = {
      {"Door", "FORWARD", 2, 4, now - 4 * day, false, false},
      {"Door", "BACKWARD", 1, 1, now - 4 * day, false, false},
      {"Gate", "FORWARD", 0, 1, HourFloor(now - 5 * day), true, false},
      {"Gate", "BACKWARD", 0, 0, HourFloor(now - 5 * day), true, false},
      {"Hall", "FORWARD", 0, 1, now - 20 * day, false, true},
      {"Hall", "BACKWARD", 1, 1, now - 20 * day, false, true},
  };
  ASSERT_EQ(answer.totals_size(), static_cast<int>(expected.size()))
      << Json(answer);
  for (size_t i = 0; i < expected.size(); ++i) {
    const Expected& e = expected[i];
    const auto& t = answer.totals(static_cast<int>(i));
    SCOPED_TRACE(std::string(e.zone) + " " + e.direction);
    EXPECT_EQ(t.zone(), e.zone);
    EXPECT_EQ(t.direction(), e.direction);
    EXPECT_EQ(t.today(), e.today);
    EXPECT_EQ(t.total(), e.total);
    EXPECT_EQ(t.first_seen(), e.first_seen);
    EXPECT_EQ(t.first_seen_from_history(), e.from_history);
    EXPECT_EQ(t.pruned(), e.pruned);
    if (e.pruned) {
      // Counted from the retention's start (an hour later if the hour
      // turned meanwhile).
      EXPECT_TRUE(t.counted_since() == horizon ||
                  t.counted_since() == horizon + 3600)
          << t.counted_since() << " " << horizon;
    } else {
      EXPECT_EQ(t.counted_since(), e.first_seen);
    }
    const absl::Time since = absl::FromUnixSeconds(t.counted_since());
    EXPECT_EQ(t.counted_since_local(),
              absl::FormatTime("%Y-%m-%dT%H:%M:%S+05:30", since, india));
  }
  const auto missing = client.Get("/api/totals?driver=crowd");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 400);
  RemoveDatabase(database);
}

// A published result with one zone exit at `time`.
std::string ZoneExitResult(int64_t time, const std::string& zone) {
  VisionResult result;
  auto* detection = result.add_rect_detection();
  detection->set_type("person");
  detection->set_tracking_id(7);
  auto* event = result.add_vision_event();
  event->set_tag(v1::ZONE_EXIT);
  event->set_zone_name(zone);
  event->set_zone_direction(v1::FORWARD);
  event->set_tracking_id(7);
  event->mutable_timestamp()->set_seconds(time);
  return result.SerializeAsString();
}

// Sets TZ for what this process starts, and puts it back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
  }
  ~ScopedTimeZone() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST(WebTimeZoneTest, PageShowsTimesInTheSiteZoneNotTheBrowsers) {
  absl::TimeZone berlin;
  ASSERT_TRUE(absl::LoadTimeZone("Europe/Berlin", &berlin));
  const int64_t now = time(nullptr);
  const std::string database = TempPath("page.sqlite");
  RemoveDatabase(database);
  const int base = PortBlock(102);
  const std::string process = Address(base);
  WriteEvents(database,
              {Exit("crowd", now - 26 * 3600, "Door", "FORWARD", process),
               Exit("crowd", now - 2 * 3600, "Door", "FORWARD", process),
               Exit("crowd", now - 2 * 3600 + 1, "Door", "FORWARD", process),
               Exit("crowd", now - 2 * 3600 + 2, "Door", "FORWARD", process)});
  FakeProcess fake(base, base + 15);
  ZoneInfo door;
  door.set_name("Door");
  door.set_forward_name("in");
  door.set_backward_name("out");
  ZoneInfo exit;  // a line with no exit yet
  exit.set_name("Exit");
  fake.SetConfigured("crowd", true, {door, exit});
  zmq::context_t context(1);
  zmq::socket_t data(context, zmq::socket_type::pub);
  data.bind(Endpoint("127.0.0.1", base + DriverPortOffset("crowd") + 3));
  WebProcess web(base + 17, {Address(base)},
                 {"--database=" + database, "--retention_days=0",
                  "--time_zone=Europe/Berlin"});
  ASSERT_TRUE(web.Started());

  ScopedTimeZone new_york("America/New_York");
  DevToolsBrowser browser(::testing::TempDir() + "kestu-chromium-zone-" +
                          std::to_string(getpid()));
  ASSERT_TRUE(browser.Open("http://127.0.0.1:" + std::to_string(web.port()) +
                           "/?driver=crowd"))
      << browser.Log();
  EXPECT_EQ(browser.String("Intl.DateTimeFormat().resolvedOptions().timeZone"),
            "America/New_York");
  const std::string abbreviation =
      berlin.At(absl::FromUnixSeconds(time(nullptr))).zone_abbr;
  std::string shown;
  EXPECT_TRUE(PollUntil(
      [&] {
        shown =
            browser.String("document.getElementById('site-zone').textContent");
        return shown == "Europe/Berlin, " + abbreviation;
      },
      kWait))
      << shown;

  // The hour chart's ticks: every third of the last 24 local hours.
  std::string hours;
  const int64_t hour = absl::ToUnixSeconds(absl::FromCivil(
      absl::CivilHour(berlin.At(absl::FromUnixSeconds(now)).cs), berlin));
  for (int b = 0; b < 24; b += 3) {
    hours += absl::FormatTime(
        "%H:00,", absl::FromUnixSeconds(hour - (23 - b) * 3600), berlin);
  }
  // The day chart's: every fifth of the last 30 local days.
  std::string days;
  const absl::CivilDay today(berlin.At(absl::FromUnixSeconds(now)).cs);
  for (int b = 0; b < 30; b += 5) {
    const absl::CivilDay d = today - (29 - b);
    days += std::to_string(d.day()) + "/" + std::to_string(d.month()) + ",";
  }
  auto ticks = [&](const std::string& chart) {
    return browser.String("Array.from(document.querySelectorAll('#" + chart +
                          " text.tick')).map(t => t.textContent + ',')"
                          ".join('')");
  };
  EXPECT_TRUE(PollUntil([&] { return ticks("chart-hours") == hours; }, kWait))
      << ticks("chart-hours") << " wanted " << hours;
  EXPECT_TRUE(PollUntil([&] { return ticks("chart-days") == days; }, kWait))
      << ticks("chart-days") << " wanted " << days;
  // Each bar shows its value: the three exits two hours ago.
  EXPECT_NE(browser
                .String("Array.from(document.querySelectorAll('#chart-hours "
                        "text.value')).map(t => t.textContent).join(',')")
                .find("3"),
            std::string::npos);

  // A live exit's time in the latest events, in Berlin's clock.
  const int64_t exit_time = now - 100;
  const std::string expected_time = absl::FormatTime(
      "%Y-%m-%d %H:%M:%S", absl::FromUnixSeconds(exit_time), berlin);
  EXPECT_TRUE(PollUntil(
      [&] {
        const std::string bytes = ZoneExitResult(exit_time, "Gate");
        data.send(zmq::buffer(bytes), zmq::send_flags::none);
        shown = browser.String(
            "(document.querySelector('#events tbody td') || {}).textContent "
            "|| ''");
        return shown == expected_time;
      },
      kWait, milliseconds(200)))
      << shown << " wanted " << expected_time;

  // The totals: the line's direction names, today's exits and all of them
  // since the oldest hour the history holds.
  const int64_t midnight = absl::ToUnixSeconds(absl::FromCivil(today, berlin));
  const int today_count = now - 2 * 3600 >= midnight ? 3 : 0;
  const std::string since =
      "since " +
      absl::FormatTime("%Y-%m-%d %H:%M",
                       absl::FromUnixSeconds(HourFloor(now - 26 * 3600)),
                       berlin) +
      ", the oldest exit kept";
  const std::string row =
      "document.querySelector('#zone-totals tr[data-zone=\"Door\"]"
      "[data-direction=\"FORWARD\"]')";
  const std::string wanted =
      "Door|in|" + std::to_string(today_count) + "|4|" + since;
  EXPECT_TRUE(PollUntil(
      [&] {
        shown = browser.String(
            "(() => { const r = " + row +
            "; return r ? Array.from(r.cells).map(c => c.textContent)"
            ".join('|') : ''; })()");
        return shown == wanted;
      },
      kWait, milliseconds(200)))
      << shown << " wanted " << wanted;

  // For the README: the page in Berlin's time, seen from New York.
  const std::string screens =
      std::string(KESTU_BINARY_DIR) + "/kestu-web-screens/";
  std::system(("mkdir -p '" + screens + "'").c_str());
  browser.Screenshot(screens + "local_time.png", 0, 0, 1500, 820);

  // When kestu-web first saw the lines: the one only the driver's
  // description lists, when it came; the one a live exit named, at the
  // exit's time.
  httplib::Client client("127.0.0.1", web.port());
  kestu::tools::TotalsAnswer totals;
  ASSERT_TRUE(
      google::protobuf::util::JsonStringToMessage(
          Get(client, "/api/totals?driver=crowd&process=" + process), &totals)
          .ok());
  std::map<std::string, double> first_seen;
  for (const auto& t : totals.totals()) {
    EXPECT_FALSE(t.zone() != "Door" && t.first_seen_from_history()) << t.zone();
    first_seen[t.zone()] = t.first_seen();
  }
  EXPECT_GE(first_seen["Exit"], now);
  EXPECT_LE(first_seen["Exit"], time(nullptr));
  EXPECT_EQ(first_seen["Gate"], exit_time);

  // The CSV names the line's directions in a last column; a line that
  // names none leaves it empty.
  const std::string csv =
      Get(client, "/api/counts.csv?driver=crowd&bucket=day&process=" + process);
  EXPECT_EQ(csv.substr(0, csv.find("\r\n")),
            "start,epoch,process,driver,tag,zone,direction,count,"
            "direction_name");
  std::map<std::string, std::set<std::string>> names;  // by line
  std::stringstream lines(csv);
  for (std::string line; std::getline(lines, line);) {
    const std::vector<std::string> fields = absl::StrSplit(line, ',');
    if (fields.size() == 9 && fields[6] == "FORWARD") {
      names[fields[5]].insert(std::string(absl::StripSuffix(fields[8], "\r")));
    }
  }
  EXPECT_EQ(names["Door"], std::set<std::string>{"in"}) << csv;
  EXPECT_EQ(names["Gate"], std::set<std::string>{""}) << csv;
  RemoveDatabase(database);
}

}  // namespace
}  // namespace kestu_tools
