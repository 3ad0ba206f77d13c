// kestu-mqtt end to end against a mosquitto broker of the test's own and a
// fake process of real ZeroMQ sockets whose crowd driver names its
// counting lines: the discovery configurations (the convention's keys,
// unique ids, state topics that carry values) and a removed line's
// cleared; the local time of events in named zones; today's total going
// back to 0 at local midnight; today's total kept across a restart, of a
// driver with an event journal (FakeJournal) too.
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include "tests/tools/fake_journal.h"
#include "tests/tools/fake_process.h"
#include "tests/tools/mqtt_test_util.h"
#include "tests/tools/web_test_util.h"

namespace kestu_tools {
namespace {

using google::protobuf::Struct;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
namespace v1 = ::talvenrook::vision::v1;

constexpr char kDiscovery[] = "homeassistant/";

Struct Parsed(const std::string& json) {
  Struct parsed;
  EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(json, &parsed).ok())
      << json;
  return parsed;
}

std::string Field(const Struct& s, const std::string& key) {
  auto it = s.fields().find(key);
  return it == s.fields().end() ? "" : it->second.string_value();
}

bool IsNumber(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

ZoneInfo Line(const std::string& name, const std::string& forward = "",
              const std::string& backward = "") {
  ZoneInfo zone;
  zone.set_name(name);
  zone.set_forward_name(forward);
  zone.set_backward_name(backward);
  return zone;
}

// The crowd driver's data port: one result per event sent.
class CrowdData {
 public:
  explicit CrowdData(int base) : socket_(context_, zmq::socket_type::pub) {
    socket_.set(zmq::sockopt::linger, 0);
    socket_.bind(Endpoint("127.0.0.1", base + DriverPortOffset("crowd") + 3));
  }
  void Send(v1::EventTag tag, const std::string& zone,
            v1::ZoneDirection direction, const std::string& name,
            int64_t unix_seconds) {
    v1::VisionResult result;
    result.set_uuid("result-" + std::to_string(++sent_));
    auto* event = result.add_vision_event();
    event->set_tag(tag);
    event->set_zone_name(zone);
    event->set_zone_direction(direction);
    event->set_zone_direction_name(name);
    event->set_tracking_id(sent_);
    event->mutable_timestamp()->set_seconds(unix_seconds);
    const std::string bytes = result.SerializeAsString();
    socket_.send(zmq::buffer(bytes), zmq::send_flags::none);
  }
  void Exit(const std::string& zone, v1::ZoneDirection direction,
            const std::string& name,
            int64_t unix_seconds = std::time(nullptr)) {
    Send(v1::ZONE_EXIT, zone, direction, name, unix_seconds);
  }
  // Sends ZONE_ENTERs, which count nothing, until kestu-mqtt publishes
  // one: it hears the port from then on.
  bool Joined(MqttSubscriber& watcher, const std::string& event_topic) {
    const size_t before = watcher.On(event_topic).size();
    return PollUntil(
        [&] {
          Send(v1::ZONE_ENTER, "Walkway", v1::ZONE_DIRECTION_NOT_DEFINED, "",
               std::time(nullptr));
          return PollUntil(
              [&] { return watcher.On(event_topic).size() > before; },
              milliseconds(300));
        },
        kWait);
  }

 private:
  zmq::context_t context_{1};
  zmq::socket_t socket_;
  int sent_ = 0;
};

// A fake process and kestu-mqtt over a broker, the crowd driver configured
// with `lines`.
struct Site {
  Site(int base, const std::vector<ZoneInfo>& lines,
       std::vector<std::string> flags)
      : base(base),
        broker(base + 16),
        fake(base, base + 15),
        data(base),
        prefix("kestu/" + Address(base)) {
    started = broker.Start();
    fake.SetConfigured("crowd", true, lines);
    watcher = std::make_unique<MqttSubscriber>(broker.port(), "#");
    started = started && watcher->Subscribed(kWait);
    Run(flags);
  }
  // kestu-mqtt (again) with these flags, and those of this site.
  void Run(std::vector<std::string> flags) {
    flags.insert(flags.end(), {"--broker=" + broker.address(), "--process",
                               Address(base), "--metrics_port=0"});
    mqtt.reset();
    mqtt = std::make_unique<MqttProcess>(flags);
    started = started && mqtt->Started() &&
              data.Joined(*watcher, prefix + "/crowd/event");
  }
  std::string Log() { return mqtt->child().Stderr(); }
  std::string Zone(const std::string& zone, const std::string& direction,
                   const std::string& what) const {
    return prefix + "/crowd/zone/" + zone + "/" + direction + "/" + what;
  }
  // The published ZONE_EXITs, in order.
  std::vector<Struct> Exits() {
    std::vector<Struct> exits;
    for (const MqttMessage& m : watcher->On(prefix + "/crowd/event")) {
      Struct event = Parsed(m.payload);
      if (Field(event, "tag") == "ZONE_EXIT") exits.push_back(event);
    }
    return exits;
  }

  int base;
  Broker broker;
  FakeProcess fake;
  CrowdData data;
  std::string prefix;
  bool started = false;
  std::unique_ptr<MqttSubscriber> watcher;
  std::unique_ptr<MqttProcess> mqtt;
};

// The discovery configurations a subscriber holds: topic -> latest payload
// (empty: cleared).
std::map<std::string, std::string> Configs(MqttSubscriber& subscriber) {
  std::map<std::string, std::string> configs;
  for (const MqttMessage& m : subscriber.Messages()) {
    if (m.topic.rfind(kDiscovery, 0) == 0) configs[m.topic] = m.payload;
  }
  return configs;
}

size_t Live(const std::map<std::string, std::string>& configs) {
  size_t live = 0;
  for (const auto& [topic, payload] : configs) live += payload.empty() ? 0 : 1;
  return live;
}

TEST(MqttDiscoveryTest, EntitiesCarryTheConventionsKeysAndGoWithTheirLine) {
  Site site(PortBlock(120), {Line("Walkway", "in", "out"), Line("Back door")},
            {"--time_zone=Europe/Berlin"});
  site.fake.SetCamera("crowd", Camera(true, NowMillis()));
  ASSERT_TRUE(site.started) << site.Log();
  MqttSubscriber& watcher = *site.watcher;
  // Two lines in two directions, and the camera.
  ASSERT_TRUE(PollUntil([&] { return Live(Configs(watcher)) == 5; }, kWait))
      << site.Log();

  std::set<std::string> unique_ids;
  std::set<std::string> names;
  for (const auto& [topic, payload] : Configs(watcher)) {
    SCOPED_TRACE(topic);
    const bool sensor = topic.find("/sensor/") != std::string::npos;
    EXPECT_TRUE(sensor || topic.find("/binary_sensor/") != std::string::npos);
    EXPECT_EQ(topic.substr(topic.size() - 7), "/config");
    const Struct config = Parsed(payload);
    for (const char* key :
         {"name", "unique_id", "state_topic", "availability_topic"}) {
      EXPECT_FALSE(Field(config, key).empty()) << key << " in " << payload;
    }
    EXPECT_TRUE(unique_ids.insert(Field(config, "unique_id")).second);
    names.insert(Field(config, "name"));
    const auto& device = config.fields().at("device").struct_value();
    EXPECT_FALSE(Field(device, "name").empty());
    EXPECT_GT(device.fields().at("identifiers").list_value().values_size(), 0);
    EXPECT_TRUE(
        watcher.WaitFor(Field(config, "availability_topic"), "online", kWait));
    const std::string state_topic = Field(config, "state_topic");
    ASSERT_TRUE(PollUntil([&] { return watcher.Last(state_topic).has_value(); },
                          kWait));
    const std::string state = watcher.Last(state_topic)->payload;
    if (sensor) {
      EXPECT_EQ(Field(config, "state_class"), "total_increasing");
      EXPECT_TRUE(IsNumber(state)) << state;
    } else {
      EXPECT_EQ(Field(config, "device_class"), "connectivity");
      EXPECT_EQ(Field(config, "value_template"), "{{ value_json.state }}");
      EXPECT_EQ(Field(Parsed(state), "state"), Field(config, "payload_on"));
    }
  }
  EXPECT_TRUE(names.count("Walkway in today")) << site.Log();
  EXPECT_TRUE(names.count("Back door backward today"));

  // An exit of a named direction: today's total, the event with its name.
  const std::string today = site.Zone("Walkway", "FORWARD", "today");
  site.data.Exit("Walkway", v1::FORWARD, "in");
  ASSERT_TRUE(watcher.WaitFor(today, "1", kWait)) << site.Log();
  EXPECT_EQ(watcher.Last(site.Zone("Walkway", "FORWARD", "count"))->payload,
            "1");
  // The event goes out after the totals.
  const std::string event_topic = site.prefix + "/crowd/event";
  ASSERT_TRUE(
      PollUntil([&] { return watcher.Last(event_topic).has_value(); }, kWait));
  EXPECT_EQ(Field(Parsed(watcher.Last(event_topic)->payload), "directionName"),
            "in");

  // Back door goes: its configurations and topics are cleared, at the
  // broker too.
  site.fake.SetConfigured("crowd", true, {Line("Walkway", "in", "out")});
  ASSERT_TRUE(PollUntil([&] { return Live(Configs(watcher)) == 3; }, kWait))
      << site.Log();
  for (const std::string direction : {"FORWARD", "BACKWARD"}) {
    EXPECT_TRUE(
        watcher.WaitFor(site.Zone("Back door", direction, "today"), "", kWait));
    EXPECT_TRUE(watcher.WaitFor(site.Zone("Back door", direction, "totals"), "",
                                kWait));
  }
  MqttSubscriber late(site.broker.port(), std::string(kDiscovery) + "#");
  ASSERT_TRUE(PollUntil([&] { return Live(Configs(late)) == 3; }, kWait));
  for (const auto& [topic, payload] : Configs(late)) {
    EXPECT_EQ(topic.find("Back_door"), std::string::npos) << topic;
  }
  EXPECT_EQ(watcher.Last(today)->payload, "1");
}

// Exits at set times: the event's UTC time, and its local time with the
// offset in force then.
struct LocalExit {
  int64_t unix_seconds;
  std::string utc;
  std::string local;
};

struct LocalCase {
  const char* name;
  int block;
  const char* zone;
  std::vector<LocalExit> exits;
};

void PrintTo(const LocalCase& c, std::ostream* out) { *out << c.name; }

class MqttLocalTimeTest : public ::testing::TestWithParam<LocalCase> {};

TEST_P(MqttLocalTimeTest, EventsCarryTheirLocalTime) {
  const LocalCase& c = GetParam();
  Site site(PortBlock(c.block), {Line("Walkway", "in", "out")},
            {std::string("--time_zone=") + c.zone});
  ASSERT_TRUE(site.started) << site.Log();
  for (const LocalExit& exit : c.exits) {
    site.data.Exit("Walkway", v1::BACKWARD, "out", exit.unix_seconds);
  }
  ASSERT_TRUE(
      PollUntil([&] { return site.Exits().size() == c.exits.size(); }, kWait))
      << site.Log();
  const std::vector<Struct> events = site.Exits();
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(Field(events[i], "time"), c.exits[i].utc);
    EXPECT_EQ(Field(events[i], "localTime"), c.exits[i].local);
    EXPECT_EQ(Field(events[i], "timeZone"), c.zone);
    EXPECT_EQ(Field(events[i], "direction"), "BACKWARD");
    EXPECT_EQ(Field(events[i], "directionName"), "out");
  }
  // Days gone by count, but not today. The totals go out after the count
  // and today's total of the same exit.
  const std::string totals = site.Zone("Walkway", "BACKWARD", "totals");
  ASSERT_TRUE(PollUntil(
      [&] {
        const auto last = site.watcher->Last(totals);
        return last &&
               Parsed(last->payload).fields().at("count").number_value() ==
                   c.exits.size();
      },
      kWait))
      << site.Log();
  EXPECT_EQ(
      site.watcher->Last(site.Zone("Walkway", "BACKWARD", "count"))->payload,
      std::to_string(c.exits.size()));
  EXPECT_EQ(
      site.watcher->Last(site.Zone("Walkway", "BACKWARD", "today"))->payload,
      "0");
}

INSTANTIATE_TEST_SUITE_P(
    Zones, MqttLocalTimeTest,
    ::testing::Values(
        LocalCase{
            "BerlinSummerAndWinter",
            121,
            "Europe/Berlin",
            {{1751364000, "2025-07-01T10:00:00Z", "2025-07-01T12:00:00+02:00"},
             {1736983800, "2025-01-15T23:30:00Z", "2025-01-16T00:30:00+01:00"},
             {1743296405, "2025-03-30T01:00:05Z",
              "2025-03-30T03:00:05+02:00"}}},
        LocalCase{"Kolkata",
                  122,
                  "Asia/Kolkata",
                  {{1743186600, "2025-03-28T18:30:00Z",
                    "2025-03-29T00:00:00+05:30"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// A fixed zone whose local midnight comes at the Unix time `midnight`.
std::string ZoneWithMidnightAt(int64_t midnight) {
  const int64_t offset = (86400 - midnight % 86400) % 86400;
  char name[40];
  std::snprintf(name, sizeof(name), "Fixed/UTC+%02d:%02d:%02d",
                static_cast<int>(offset / 3600),
                static_cast<int>(offset / 60 % 60),
                static_cast<int>(offset % 60));
  return name;
}

TEST(MqttTodayTest, TodayGoesBackToZeroAtLocalMidnight) {
  int64_t midnight = std::time(nullptr) + 5;
  Site site(PortBlock(123), {Line("Walkway", "in", "out")},
            {"--time_zone=" + ZoneWithMidnightAt(midnight)});
  // A start slow enough to come near midnight is made again.
  for (int attempt = 0; attempt < 3 && std::time(nullptr) > midnight - 3;
       ++attempt) {
    midnight = std::time(nullptr) + 5;
    site.Run({"--time_zone=" + ZoneWithMidnightAt(midnight)});
  }
  ASSERT_TRUE(site.started) << site.Log();
  MqttSubscriber& watcher = *site.watcher;
  const std::string today = site.Zone("Walkway", "FORWARD", "today");
  const std::string totals = site.Zone("Walkway", "FORWARD", "totals");
  // "today" goes out before its totals: each is waited for on its own topic.
  const auto totals_say_today = [&](int64_t n) {
    return PollUntil(
        [&] {
          const auto last = watcher.Last(totals);
          return last &&
                 Parsed(last->payload).fields().at("today").number_value() == n;
        },
        kWait);
  };
  site.data.Exit("Walkway", v1::FORWARD, "in");
  ASSERT_TRUE(watcher.WaitFor(today, "1", kWait)) << site.Log();
  ASSERT_TRUE(totals_say_today(1)) << site.Log();
  const std::string day_before =
      Field(Parsed(watcher.Last(totals)->payload), "today_since");

  // No event comes: the midnight timer resets it.
  ASSERT_TRUE(watcher.WaitFor(today, "0", kWait)) << site.Log();
  ASSERT_TRUE(totals_say_today(0)) << site.Log();
  EXPECT_EQ(watcher.Last(site.Zone("Walkway", "FORWARD", "count"))->payload,
            "1");
  const Struct after = Parsed(watcher.Last(totals)->payload);
  EXPECT_EQ(after.fields().at("count").number_value(), 1);
  EXPECT_EQ(after.fields().at("today").number_value(), 0);
  // The next local day, from its midnight.
  EXPECT_GT(Field(after, "today_since"), day_before);
  EXPECT_NE(Field(after, "today_since").find("T00:00:00+"), std::string::npos)
      << Field(after, "today_since");
}

// Today's total across a restart with --state_file: carried on the same
// day, 0 once the kept day is not today.
struct KeptCase {
  const char* name;
  int block;
  bool day_passed;
  std::string today_after;
};

void PrintTo(const KeptCase& c, std::ostream* out) { *out << c.name; }

class MqttTodayKeptTest : public ::testing::TestWithParam<KeptCase> {};

TEST_P(MqttTodayKeptTest, TodaySurvivesARestartOnItsDay) {
  const KeptCase& c = GetParam();
  char dir[] = "/tmp/kestu-mqtt-today-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string state = std::string(dir) + "/state";
  const std::vector<std::string> flags = {"--time_zone=Europe/Berlin",
                                          "--state_file=" + state};
  auto owned = std::make_unique<Site>(
      PortBlock(c.block), std::vector<ZoneInfo>{Line("Walkway", "in", "out")},
      flags);
  Site& site = *owned;
  ASSERT_TRUE(site.started) << site.Log();
  const std::string today = site.Zone("Walkway", "FORWARD", "today");
  site.data.Exit("Walkway", v1::FORWARD, "in");
  ASSERT_TRUE(site.watcher->WaitFor(today, "1", kWait)) << site.Log();

  ASSERT_TRUE(site.mqtt->child().Signal(SIGTERM));
  ASSERT_EQ(site.mqtt->child().Wait(milliseconds(5000)), 0) << site.Log();
  std::string kept = kestu_testing::ReadFile(state);
  const size_t day = kept.find("\"day\": \"");
  ASSERT_NE(day, std::string::npos) << kept;
  if (c.day_passed) {
    kept.replace(day + 8, 10, "2001-02-03");
    std::ofstream(state) << kept;
  }

  site.Run(flags);
  ASSERT_TRUE(site.started) << site.Log();
  site.data.Exit("Walkway", v1::FORWARD, "in");
  EXPECT_TRUE(site.watcher->WaitFor(today, c.today_after, kWait))
      << site.Log() << kestu_testing::ReadFile(state);
  owned.reset();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

INSTANTIATE_TEST_SUITE_P(
    Days, MqttTodayKeptTest,
    ::testing::Values(KeptCase{"SameDay", 124, false, "2"},
                      KeptCase{"DayPassed", 125, true, "1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MqttTodayTest, AJournalsTodayCountsEachExitOnceAcrossARestart) {
  const int base = PortBlock(126);
  Broker broker(base + 16);
  ASSERT_TRUE(broker.Start());
  FakeJournal journal(base);
  MqttSubscriber watcher(broker.port(), "kestu/#");
  ASSERT_TRUE(watcher.Subscribed(kWait));
  char dir[] = "/tmp/kestu-mqtt-journal-today-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::vector<std::string> flags = {
      "--broker=" + broker.address(),
      "--process",
      Address(base),
      "--metrics_port=0",
      "--time_zone=Europe/Berlin",
      "--state_file=" + std::string(dir) + "/state"};
  const FakeEvent in{"Walkway", v1::FORWARD};
  const std::string today =
      "kestu/" + Address(base) + "/crowd/zone/Walkway/FORWARD/today";
  {
    MqttProcess mqtt(flags);
    ASSERT_TRUE(mqtt.Started());
    ASSERT_TRUE(PollUntil(
        [&] {
          journal.Publish();
          return mqtt.child().Stderr().find("follows journal") !=
                 std::string::npos;
        },
        kWait, milliseconds(100)));
    journal.Publish({in});
    journal.Publish({in, in});
    ASSERT_TRUE(watcher.WaitFor(today, "3", kWait)) << mqtt.child().Stderr();
    ASSERT_TRUE(mqtt.child().Signal(SIGTERM));
    ASSERT_EQ(mqtt.child().Wait(milliseconds(5000)), 0);
  }
  // While it is away; caught up after the kept position, counted once.
  journal.Publish({in});
  MqttProcess again(flags);
  ASSERT_TRUE(again.Started());
  EXPECT_TRUE(watcher.WaitFor(today, "4", kWait)) << again.child().Stderr();
  journal.Publish({in});
  EXPECT_TRUE(watcher.WaitFor(today, "5", kWait)) << again.child().Stderr();
  EXPECT_EQ(
      watcher
          .Last("kestu/" + Address(base) + "/crowd/zone/Walkway/FORWARD/count")
          ->payload,
      "5");
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

}  // namespace
}  // namespace kestu_tools
