// kestu-mqtt with the crowd driver on the bundled people clip (frames 0-279
// of vtest.avi, as kestu-web's crowd test), against a mosquitto broker of
// the test's own: every ZONE_EXIT published on the data port arrives on the
// event topic, the retained counts equal them, a new subscriber gets the
// counts and the availability at once, and a stopped process is "offline"
// soon after while a second one stays "online".
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "kestu_tools.pb.h"
#include "tests/src/drivers/drivers_test_util.h"
#include "tests/tools/mqtt_test_util.h"
#include "tests/tools/web_test_util.h"
#include "tools/driver_client.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;

using ExitKey =
    std::tuple<uint64_t, std::string, std::string>;  // id, zone, dir

TEST(MqttCrowdTest, EveryZoneExitArrivesAndTheRetainedCountsEqualThem) {
  const int base = PortBlock(570);
  Broker broker(base + 16);
  ASSERT_TRUE(broker.Start());
  VisionProcess process(base);
  // A second, idle process, named in the topics: its connection and last
  // will are its own.
  const int hall_base = PortBlock(581);
  VisionProcess hall(hall_base);
  MqttSubscriber watcher(broker.port(), "kestu/#");
  ASSERT_TRUE(process.Started() && hall.Started() && watcher.Subscribed(kWait));
  const int metrics_port = base + 17;
  MqttProcess mqtt({"--broker=" + broker.address(), "--process",
                    ProcessArgument(base), "--process",
                    "hall=" + ProcessArgument(hall_base),
                    "--metrics_port=" + std::to_string(metrics_port)});
  ASSERT_TRUE(mqtt.Started()) << mqtt.child().Stderr();
  const std::string prefix = "kestu/" + Address(base);
  ASSERT_TRUE(watcher.WaitFor(prefix + "/availability", "online", kWait))
      << mqtt.child().Stderr();
  ASSERT_TRUE(watcher.WaitFor("kestu/hall/availability", "online", kWait))
      << mqtt.child().Stderr();

  zmq::context_t context(1);
  const int crowd_port = base + DriverPortOffset("crowd");
  DriverClient crowd(context, "127.0.0.1", crowd_port);
  Subscriber data(context, crowd.DataEndpoint(), kWait);
  ASSERT_TRUE(data.connected());
  Pinger pinger(context, crowd_port);
  const std::string clip =
      vostek_kestu::Excerpt(vostek_kestu::kPeopleClip, 0, 279, "mqtt-walkway");
  ASSERT_FALSE(clip.empty()) << vostek_kestu::kPeopleClip;
  DriverConfig config =
      vostek_kestu::SampleConfig("crowd_walkway.textproto", clip);
  config.set_uuid("walkway");
  ASSERT_TRUE(crowd.Push(config, kWait));

  // The driver's statuses come over MQTT too: its answer, then its stop at
  // the end of the clip.
  const std::string status_topic = prefix + "/crowd/status";
  auto has_status = [&](const std::string& type) {
    for (const auto& m : watcher.On(status_topic)) {
      Status status;
      if (google::protobuf::util::JsonStringToMessage(m.payload, &status)
              .ok() &&
          Status::MessageType_Name(status.type()) == type) {
        return true;
      }
    }
    return false;
  };
  ASSERT_TRUE(
      PollUntil([&] { return has_status("STOPPED"); }, milliseconds(90000)))
      << mqtt.child().Stderr();
  EXPECT_TRUE(has_status("CONFIG_RECEIVED"));

  std::multiset<ExitKey> exits;
  std::map<std::pair<std::string, std::string>, int> counts;
  while (auto bytes = data.Receive(milliseconds(500))) {
    VisionResult result;
    ASSERT_TRUE(result.ParseFromString(*bytes));
    for (const auto& event : result.vision_event()) {
      if (event.tag() != v1::ZONE_EXIT) continue;
      const std::string direction =
          v1::ZoneDirection_Name(event.zone_direction());
      exits.insert({event.tracking_id(), event.zone_name(), direction});
      ++counts[{event.zone_name(), direction}];
    }
  }
  ASSERT_GE(exits.size(), 5u);  // the driver's own test pins the six crossings

  const std::string event_topic = prefix + "/crowd/event";
  ASSERT_TRUE(PollUntil(
      [&] { return watcher.On(event_topic).size() >= exits.size(); }, kWait));
  std::multiset<ExitKey> published;
  for (const auto& m : watcher.On(event_topic)) {
    kestu::tools::MqttEvent event;
    ASSERT_TRUE(
        google::protobuf::util::JsonStringToMessage(m.payload, &event).ok())
        << m.payload;
    EXPECT_EQ(event.tag(), v1::ZONE_EXIT) << m.payload;
    EXPECT_EQ(event.driver(), "crowd");
    EXPECT_EQ(event.process(), Address(base));
    EXPECT_EQ(event.type(), "person") << m.payload;
    EXPECT_GT(event.speed(), 0.0f) << m.payload;
    EXPECT_GT(event.time().seconds(), 1600000000) << m.payload;
    EXPECT_FALSE(m.retained);
    published.insert({event.tracking_id(), event.zone(),
                      v1::ZoneDirection_Name(event.direction())});
  }
  EXPECT_EQ(published, exits);
  for (const auto& [key, count] : counts) {
    const std::string topic =
        prefix + "/crowd/zone/" + key.first + "/" + key.second + "/count";
    EXPECT_TRUE(watcher.WaitFor(topic, std::to_string(count), kWait)) << topic;
  }

  // A dashboard that subscribes now sees the totals and the availability
  // at once, as retained messages.
  MqttSubscriber dashboard(broker.port(), prefix + "/#");
  ASSERT_TRUE(dashboard.Subscribed(kWait));
  const auto count_topic = [&](const auto& key) {
    return prefix + "/crowd/zone/" + key.first + "/" + key.second + "/count";
  };
  ASSERT_TRUE(PollUntil(
      [&] {
        for (const auto& [key, count] : counts) {
          if (!dashboard.Last(count_topic(key))) return false;
        }
        return dashboard.Last(prefix + "/availability").has_value();
      },
      milliseconds(2000)));
  const auto availability = dashboard.Last(prefix + "/availability");
  ASSERT_TRUE(availability.has_value());
  EXPECT_TRUE(availability->retained);
  EXPECT_EQ(availability->payload, "online");
  for (const auto& [key, count] : counts) {
    const auto total = dashboard.Last(count_topic(key));
    ASSERT_TRUE(total.has_value()) << key.first << " " << key.second;
    EXPECT_TRUE(total->retained);
    EXPECT_EQ(total->payload, std::to_string(count));
  }

  httplib::Client client("127.0.0.1", metrics_port);
  const std::string metrics = Get(client, "/metrics");
  EXPECT_NE(metrics.find("kestu_mqtt_messages_dropped_total{process=\"" +
                         Address(base) + "\"} 0"),
            std::string::npos)
      << metrics;
  EXPECT_TRUE(PromtoolAccepts(metrics)) << metrics;

  // The process goes away: "offline" within 15 s.
  const auto stopped = std::chrono::steady_clock::now();
  process.child().Kill();
  ASSERT_TRUE(dashboard.WaitFor(prefix + "/availability", "offline",
                                milliseconds(15000)));
  EXPECT_LT(dashboard.Last(prefix + "/availability")->received - stopped,
            std::chrono::seconds(15));
  EXPECT_EQ(watcher.Last("kestu/hall/availability")->payload, "online");
}

}  // namespace
}  // namespace kestu_tools
