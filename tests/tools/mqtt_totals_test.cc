// kestu-mqtt's local time and totals without a broker: local times and
// days across daylight-saving changes and in a half-hour zone, today's
// totals over local midnight on a clock of the test's own, today as of a
// journal's acknowledged position, the lines announced and cleared as a
// driver's configuration changes, and the discovery ids.
#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include "absl/time/time.h"
#include "tools/mqtt/ack_frontier.h"
#include "tools/mqtt/daily_totals.h"
#include "tools/mqtt/local_time.h"
#include "tools/mqtt/mqtt_discovery.h"
#include "tools/mqtt/mqtt_topics.h"
#include "tools/mqtt/zone_totals.h"

namespace kestu_tools {
namespace {

using google::protobuf::Struct;

absl::Time Utc(const std::string& text) {
  absl::Time time;
  std::string error;
  EXPECT_TRUE(absl::ParseTime(absl::RFC3339_full, text, &time, &error))
      << text << ": " << error;
  return time;
}

LocalZone Zone(const std::string& name) {
  LocalZone zone;
  std::string error;
  EXPECT_TRUE(zone.Load(name, &error)) << error;
  return zone;
}

Struct Parsed(const std::string& json) {
  Struct parsed;
  EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(json, &parsed).ok())
      << json;
  return parsed;
}

struct LocalCase {
  const char* zone;
  const char* utc;
  const char* local;
  const char* day;
};

class LocalTimeTest : public ::testing::TestWithParam<LocalCase> {};

TEST_P(LocalTimeTest, FormatsWithTheOffsetInForce) {
  const LocalCase& c = GetParam();
  const LocalZone zone = Zone(c.zone);
  EXPECT_EQ(zone.Format(Utc(c.utc)), c.local);
  EXPECT_EQ(zone.DayOf(Utc(c.utc)), c.day);
  EXPECT_EQ(zone.name(), c.zone);
}

INSTANTIATE_TEST_SUITE_P(
    Zones, LocalTimeTest,
    ::testing::Values(LocalCase{"Europe/Berlin", "2027-07-01T10:00:00Z",
                                "2027-07-01T12:00:00+02:00", "2027-07-01"},
                      LocalCase{"Europe/Berlin", "2027-01-15T23:30:00Z",
                                "2027-01-16T00:30:00+01:00", "2027-01-16"},
                      // Spring: 02:00 local does not exist.
                      LocalCase{"Europe/Berlin", "2027-03-28T00:59:59Z",
                                "2027-03-28T01:59:59+01:00", "2027-03-28"},
                      LocalCase{"Europe/Berlin", "2027-03-28T01:00:05Z",
                                "2027-03-28T03:00:05+02:00", "2027-03-28"},
                      // Autumn: 02:30 local twice.
                      LocalCase{"Europe/Berlin", "2027-10-31T00:30:00Z",
                                "2027-10-31T02:30:00+02:00", "2027-10-31"},
                      LocalCase{"Europe/Berlin", "2027-10-31T01:30:00Z",
                                "2027-10-31T02:30:00+01:00", "2027-10-31"},
                      LocalCase{"Asia/Kolkata", "2027-03-28T18:29:59Z",
                                "2027-03-28T23:59:59+05:30", "2027-03-28"},
                      LocalCase{"Asia/Kolkata", "2027-03-28T18:30:00Z",
                                "2027-03-29T00:00:00+05:30", "2027-03-29"},
                      LocalCase{"Australia/Adelaide", "2027-04-03T16:00:00Z",
                                "2027-04-04T02:30:00+10:30", "2027-04-04"},
                      LocalCase{"Australia/Adelaide", "2027-04-03T17:00:00Z",
                                "2027-04-04T02:30:00+09:30", "2027-04-04"},
                      LocalCase{"UTC", "2027-03-28T01:00:05Z",
                                "2027-03-28T01:00:05+00:00", "2027-03-28"}));

TEST(LocalZoneTest, UnknownNameIsRefusedByName) {
  LocalZone zone;
  std::string error;
  EXPECT_FALSE(zone.Load("Europe/Atlantis", &error));
  EXPECT_NE(error.find("\"Europe/Atlantis\""), std::string::npos) << error;
  // The system's zone, named.
  EXPECT_TRUE(zone.Load("", &error));
  EXPECT_FALSE(zone.name().empty());
}

// The clock of DailyTotals, set by the test.
struct TestClock {
  absl::Time now;
  DailyTotals::Clock clock() {
    return [this] { return now; };
  }
};

struct DayCase {
  const char* zone;
  const char* day_start;  // UTC, of the local day 2027-03-28 (or -04-04)
  const char* next;       // the next local midnight, UTC
};

class DailyTotalsTest : public ::testing::TestWithParam<DayCase> {};

TEST_P(DailyTotalsTest, ResetsAtLocalMidnightOfDaysOfAnyLength) {
  const DayCase& c = GetParam();
  const LocalZone zone = Zone(c.zone);
  TestClock clock{Utc(c.day_start) - absl::Minutes(30)};
  DailyTotals today(&zone, clock.clock());
  const DailyTotals::Key in{"crowd", "Walkway", "FORWARD"};
  const DailyTotals::Key out{"crowd", "Walkway", "BACKWARD"};
  EXPECT_EQ(today.NextMidnight(), Utc(c.day_start));
  EXPECT_EQ(today.Add(in, clock.now), 1);
  EXPECT_EQ(today.Add(in, clock.now - absl::Hours(30)), std::nullopt);
  EXPECT_EQ(today.Add(out, clock.now), 1);
  EXPECT_EQ(today.Add(in, clock.now), 2);

  clock.now = Utc(c.day_start) - absl::Seconds(1);
  EXPECT_TRUE(today.RollOver().empty());
  EXPECT_EQ(today.Get(in), 2);

  clock.now = Utc(c.day_start);
  const auto reset = today.RollOver();
  EXPECT_EQ(std::set<DailyTotals::Key>(reset.begin(), reset.end()),
            (std::set<DailyTotals::Key>{in, out}));
  EXPECT_EQ(today.Get(in), 0);
  EXPECT_TRUE(today.RollOver().empty());
  EXPECT_EQ(today.DayStart(), Utc(c.day_start));
  EXPECT_EQ(today.NextMidnight(), Utc(c.next));
  // An exit just before midnight that came late is yesterday's.
  EXPECT_EQ(today.Add(in, clock.now - absl::Seconds(1)), std::nullopt);
  EXPECT_EQ(today.Add(in, clock.now + absl::Minutes(5)), 1);

  // A kept total counts on its own day only.
  DailyTotals restarted(&zone, clock.clock());
  restarted.Restore(in, today.day_text(), 7);
  restarted.Restore(out, DayText(today.day() - 1), 9);
  EXPECT_EQ(restarted.Get(in), 7);
  EXPECT_EQ(restarted.Get(out), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Days, DailyTotalsTest,
    ::testing::Values(
        // 23 hours, 25 hours, 24 hours from 18:30 UTC, 25 hours at +10:30.
        DayCase{"Europe/Berlin", "2027-03-27T23:00:00Z",
                "2027-03-28T22:00:00Z"},
        DayCase{"Europe/Berlin", "2027-10-30T22:00:00Z",
                "2027-10-31T23:00:00Z"},
        DayCase{"Asia/Kolkata", "2027-03-27T18:30:00Z", "2027-03-28T18:30:00Z"},
        DayCase{"Australia/Adelaide", "2027-04-03T13:30:00Z",
                "2027-04-04T14:30:00Z"}));

TEST(AckFrontierDaysTest, TodayAsOfTheAcknowledgedPosition) {
  const AckFrontier::ZoneKey in{"Walkway", "FORWARD"};
  AckFrontier frontier;
  frontier.Start("j", 10, {{in, 5}}, {{in, {"2027-03-27", 2}}});
  frontier.Add(11, 110, 1, {in}, {"2027-03-27"});
  frontier.Add(12, 120, 2, {in, in}, {"2027-03-28", "2027-03-27"});
  frontier.Add(13, 130, 1, {in}, {"2027-03-28"});
  frontier.Settle(110, true);
  EXPECT_EQ(frontier.days().at(in),
            std::make_pair(std::string("2027-03-27"), int64_t{3}));
  frontier.Settle(120, true);
  frontier.Settle(120, true);
  // A new day: yesterday's late exit is not today's.
  EXPECT_EQ(frontier.days().at(in),
            std::make_pair(std::string("2027-03-28"), int64_t{1}));
  EXPECT_EQ(frontier.counts().at(in), 8);
  // 13 is not acknowledged: not kept.
  EXPECT_EQ(frontier.sequence(), 12u);
}

// ZoneTotals against a driver whose configuration changes.
class ZoneTotalsTest : public ::testing::Test {
 protected:
  ZoneTotalsTest()
      : zone_(Zone("Europe/Berlin")),
        topics_("kestu"),
        discovery_("homeassistant", &topics_),
        clock_{Utc("2027-03-28T10:00:00Z")},
        started_(Utc("2027-03-28T09:00:00Z")),
        zones_("gate", &topics_, &discovery_, &zone_, clock_.clock(),
               started_) {}

  static ZoneTotals::DriverInfo Info(
      bool configured, const std::vector<std::vector<std::string>>& lines) {
    ZoneTotals::DriverInfo info;
    info.set_configured(configured);
    for (const auto& line : lines) {
      auto* zone = info.add_zone();
      zone->set_name(line[0]);
      if (line.size() > 2) {
        zone->set_forward_name(line[1]);
        zone->set_backward_name(line[2]);
      }
    }
    return info;
  }
  // The latest payload of each topic in `out`.
  static std::map<std::string, std::string> Latest(const ZoneTotals::Out& out) {
    std::map<std::string, std::string> latest;
    for (const auto& retained : out) latest[retained.topic] = retained.payload;
    return latest;
  }

  LocalZone zone_;
  MqttTopics topics_;
  MqttDiscovery discovery_;
  TestClock clock_;
  absl::Time started_;
  ZoneTotals zones_;
};

TEST_F(ZoneTotalsTest, LinesComeAndGoWithTheConfiguration) {
  const std::string walkway = "homeassistant/sensor/kestu_gate/crowd_Walkway_";
  EXPECT_TRUE(zones_.OnDriverInfo("crowd", Info(false, {{"Walkway"}})).empty());

  auto latest = Latest(zones_.OnDriverInfo(
      "crowd", Info(true, {{"Walkway", "in", "out"}, {"Back door"}})));
  EXPECT_EQ(latest.size(), 12u);  // 2 lines x 2 directions x 3 topics
  EXPECT_EQ(latest.at("kestu/gate/crowd/zone/Walkway/FORWARD/today"), "0");
  EXPECT_EQ(Parsed(latest.at(walkway + "FORWARD_today/config"))
                .fields()
                .at("name")
                .string_value(),
            "Walkway in today");
  const auto totals =
      Parsed(latest.at("kestu/gate/crowd/zone/Walkway/BACKWARD/totals"));
  EXPECT_EQ(totals.fields().at("direction_name").string_value(), "out");
  EXPECT_EQ(totals.fields().at("today_since").string_value(),
            "2027-03-28T00:00:00+01:00");
  EXPECT_EQ(totals.fields().at("count_since").string_value(),
            "2027-03-28T11:00:00+02:00");

  // A driver that lost its configuration (restarted) takes nothing away.
  EXPECT_TRUE(zones_.OnDriverInfo("crowd", Info(false, {})).empty());
  // The same answer changes nothing; new names re-announce their line.
  EXPECT_TRUE(zones_
                  .OnDriverInfo("crowd", Info(true, {{"Walkway", "in", "out"},
                                                     {"Back door"}}))
                  .empty());
  latest = Latest(zones_.OnDriverInfo(
      "crowd", Info(true, {{"Walkway", "enter", "leave"}, {"Back door"}})));
  EXPECT_EQ(latest.size(), 6u);
  EXPECT_EQ(Parsed(latest.at(walkway + "BACKWARD_today/config"))
                .fields()
                .at("name")
                .string_value(),
            "Walkway leave today");

  // Walkway goes: its configs and topics are cleared.
  zones_.OnExit({"crowd", "Walkway", "FORWARD"}, clock_.now, "enter");
  latest = Latest(zones_.OnDriverInfo("crowd", Info(true, {{"Back door"}})));
  for (const std::string direction : {"FORWARD", "BACKWARD"}) {
    for (const std::string& topic :
         {walkway + direction + "_today/config",
          "kestu/gate/crowd/zone/Walkway/" + direction + "/count",
          "kestu/gate/crowd/zone/Walkway/" + direction + "/today",
          "kestu/gate/crowd/zone/Walkway/" + direction + "/totals"}) {
      ASSERT_EQ(latest.count(topic), 1u) << topic;
      EXPECT_EQ(latest.at(topic), "") << topic;
    }
  }
  EXPECT_EQ(zones_.Announced().at("crowd"),
            std::vector<std::string>{"Back door"});
}

TEST_F(ZoneTotalsTest, LinesOfAnEarlierRunGoneMeanwhileAreCleared) {
  zones_.RestoreAnnounced("crowd", {"Old", "Walkway"});
  const auto latest =
      Latest(zones_.OnDriverInfo("crowd", Info(true, {{"Walkway"}})));
  EXPECT_EQ(latest.at("homeassistant/sensor/kestu_gate/crowd_Old_FORWARD_"
                      "today/config"),
            "");
  // Named still: announced again, in case its config was lost.
  EXPECT_NE(latest.at("homeassistant/sensor/kestu_gate/crowd_Walkway_FORWARD_"
                      "today/config"),
            "");
}

TEST_F(ZoneTotalsTest, CountsSayWhenTheyBegan) {
  const ZoneTotals::Key in{"crowd", "Walkway", "FORWARD"};
  const ZoneTotals::Key out{"crowd", "Walkway", "BACKWARD"};
  const std::string prefix = "kestu/gate/crowd/zone/Walkway/";
  int64_t count = 0;
  auto latest = Latest(zones_.OnExit(in, clock_.now, "in", &count));
  EXPECT_EQ(count, 1);
  EXPECT_EQ(latest.at(prefix + "FORWARD/count"), "1");
  EXPECT_EQ(latest.at(prefix + "FORWARD/today"), "1");
  EXPECT_EQ(Parsed(latest.at(prefix + "FORWARD/totals"))
                .fields()
                .at("count_since")
                .string_value(),
            zone_.Format(started_));

  // Followed in a journal: taken-over totals began at an unknown time; a
  // line's first exit is when its count began.
  latest = Latest(
      zones_.FollowJournal("crowd", {{{"Walkway", "FORWARD"}, {40, 0}}}));
  EXPECT_EQ(latest.at(prefix + "FORWARD/count"), "40");
  EXPECT_EQ(Parsed(latest.at(prefix + "FORWARD/totals"))
                .fields()
                .at("count_since")
                .kind_case(),
            google::protobuf::Value::kNullValue);
  const absl::Time first = clock_.now + absl::Minutes(3);
  latest = Latest(zones_.OnExit(out, first, ""));
  const auto totals = Parsed(latest.at(prefix + "BACKWARD/totals")).fields();
  EXPECT_EQ(totals.at("count_since").string_value(),
            "2027-03-28T12:03:00+02:00");
  EXPECT_EQ(totals.at("count").number_value(), 1);
  latest = Latest(zones_.OnExit(in, first, "in"));
  EXPECT_EQ(latest.at(prefix + "FORWARD/count"), "41");
  EXPECT_EQ(latest.at(prefix + "FORWARD/today"), "2");

  // Midnight, found by the next exit if the timer has not come yet.
  clock_.now = Utc("2027-03-28T22:00:00Z");
  latest = Latest(zones_.OnExit(out, clock_.now, ""));
  EXPECT_EQ(latest.at(prefix + "FORWARD/today"), "0");
  EXPECT_EQ(latest.at(prefix + "BACKWARD/today"), "1");
  EXPECT_EQ(Parsed(latest.at(prefix + "BACKWARD/totals"))
                .fields()
                .at("today_since")
                .string_value(),
            "2027-03-29T00:00:00+02:00");
}

TEST(MqttDiscoveryConfigTest, IdsStayDistinctAndConfigsCarryTheKeys) {
  EXPECT_EQ(MqttDiscovery::Id("Walkway-2_b"), "Walkway-2_b");
  std::set<std::string> ids;
  for (const char* zone :
       {"Back door", "Back_door", "Back/door", "", "_", "Tür", "Tor"}) {
    const std::string id = MqttDiscovery::Id(zone);
    EXPECT_TRUE(ids.insert(id).second) << zone << " -> " << id;
    for (char c : id) {
      EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '_' ||
                  c == '-')
          << id;
    }
  }
  const MqttTopics topics("site/kestu");
  const MqttDiscovery discovery("homeassistant/", &topics);
  EXPECT_EQ(
      discovery.LineTopic("10.0.0.5:60000", "crowd", "Back door", "FORWARD"),
      "homeassistant/sensor/kestu_10_0_0_5_60000/crowd_Back_door_" +
          MqttDiscovery::Id("Back door").substr(10) + "_FORWARD_today/config");
  const auto line =
      Parsed(discovery.LineConfig("10.0.0.5:60000", "crowd", "Back \"door\"",
                                  "BACKWARD", ""))
          .fields();
  EXPECT_EQ(line.at("name").string_value(), "Back \"door\" backward today");
  EXPECT_EQ(
      line.at("state_topic").string_value(),
      "site/kestu/10.0.0.5:60000/crowd/zone/Back \"door\"/BACKWARD/today");
  EXPECT_EQ(line.at("availability_topic").string_value(),
            "site/kestu/10.0.0.5:60000/availability");
  EXPECT_EQ(line.at("state_class").string_value(), "total_increasing");
  const auto camera =
      Parsed(discovery.CameraConfig("10.0.0.5:60000", "crowd")).fields();
  EXPECT_EQ(camera.at("device_class").string_value(), "connectivity");
  EXPECT_EQ(camera.at("device")
                .struct_value()
                .fields()
                .at("identifiers")
                .DebugString(),
            line.at("device")
                .struct_value()
                .fields()
                .at("identifiers")
                .DebugString());
}

}  // namespace
}  // namespace kestu_tools
