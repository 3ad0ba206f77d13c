// kestu-mqtt's retained camera topic, against a mosquitto broker of the
// test's own and a fake process of real ZeroMQ sockets: the topic follows
// connected -> disconnected -> connected whether the change comes by the
// polled driver information, by statuses, or by both (each change once),
// drivers without a source get none, and a restarted broker has it back.
#include <string>
#include <vector>

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <google/protobuf/util/time_util.h>
#include <gtest/gtest.h>

#include "tests/tools/fake_process.h"
#include "tests/tools/mqtt_test_util.h"
#include "tests/tools/web_test_util.h"

namespace kestu_tools {
namespace {

using google::protobuf::util::TimeUtil;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;

// The camera's changes: (connected, the driver's time of the change).
struct Change {
  bool connected;
  int64_t since_ms;
  std::string payload;  // as published when the change comes by a poll
};

// clang-format off
const std::vector<Change> kChanges = {
    {true, 1710064800250, R"({"state":"connected","since":"2024-03-10T10:00:00.250Z","since_epoch":1710064800.250})"},
    {false, 1710064861000, R"({"state":"disconnected","since":"2024-03-10T10:01:01Z","since_epoch":1710064861})"},
    {true, 1710064925500, R"({"state":"connected","since":"2024-03-10T10:02:05.500Z","since_epoch":1710064925.500})"},
};
// clang-format on

struct CameraCase {
  const char* name;
  int port_index;
  bool info;      // the driver information carries the camera's state
  bool statuses;  // the driver sends camera statuses
};

class MqttCameraTest : public ::testing::TestWithParam<CameraCase> {};

google::protobuf::Struct Parsed(const std::string& json) {
  google::protobuf::Struct parsed;
  EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(json, &parsed).ok())
      << json;
  return parsed;
}

std::string State(const std::optional<MqttMessage>& message) {
  if (!message) return "";
  const auto fields = Parsed(message->payload).fields();
  return fields.count("state") ? fields.at("state").string_value() : "";
}

TEST_P(MqttCameraTest, RetainedTopicFollowsTheCamera) {
  const CameraCase& c = GetParam();
  const int base = PortBlock(c.port_index);
  Broker broker(base + 16);
  ASSERT_TRUE(broker.Start());
  FakeProcess fake(base, base + 15);
  CameraState no_source;  // reported, without a source
  fake.SetCamera("face", no_source);
  MqttSubscriber watcher(broker.port(), "kestu/#");
  ASSERT_TRUE(watcher.Subscribed(kWait));
  MqttProcess mqtt({"--broker=" + broker.address(), "--process", Address(base),
                    "--metrics_port=0", "--reconnect_min_seconds=1",
                    "--reconnect_max_seconds=1"});
  ASSERT_TRUE(mqtt.Started()) << mqtt.child().Stderr();
  const std::string prefix = "kestu/" + Address(base);
  ASSERT_TRUE(watcher.WaitFor(prefix + "/availability", "online", kWait));
  const std::string topic = prefix + "/crowd/camera";

  for (const Change& change : kChanges) {
    const std::string state = change.connected ? "connected" : "disconnected";
    if (c.info)
      fake.SetCamera("crowd", Camera(change.connected, change.since_ms));
    const int64_t before_ms = NowMillis();
    ASSERT_TRUE(PollUntil(
        [&] {
          if (c.statuses) {
            fake.SendStatus("crowd", change.connected
                                         ? Status::CAMERA_CONNECTED
                                         : Status::CAMERA_DISCONNECTED);
          }
          return State(watcher.Last(topic)) == state;
        },
        kWait, milliseconds(100)))
        << state << "\n"
        << mqtt.child().Stderr();
    const MqttMessage message = *watcher.Last(topic);
    if (!c.statuses) {
      // The driver's own time of the change.
      EXPECT_EQ(message.payload, change.payload);
      continue;
    }
    const auto fields = Parsed(message.payload).fields();
    const double epoch = fields.at("since_epoch").number_value();
    google::protobuf::Timestamp since;
    ASSERT_TRUE(TimeUtil::FromString(fields.at("since").string_value(), &since))
        << message.payload;
    EXPECT_EQ(TimeUtil::TimestampToMilliseconds(since),
              static_cast<int64_t>(epoch * 1000 + 0.5))
        << message.payload;
    if (!c.info) {
      // By a status alone: when kestu-mqtt received it.
      EXPECT_GE(epoch * 1000, before_ms - 1) << message.payload;
      EXPECT_LE(epoch * 1000, NowMillis() + 1) << message.payload;
    }
  }
  // Each change published once, in order, and nothing for the drivers
  // without a source, over two more polls.
  const int queries = fake.queries();
  ASSERT_TRUE(PollUntil([&] { return fake.queries() >= queries + 2; }, kWait));
  std::vector<std::string> states;
  for (const auto& m : watcher.On(topic)) states.push_back(State(m));
  EXPECT_EQ(states, (std::vector<std::string>{"connected", "disconnected",
                                              "connected"}));
  EXPECT_TRUE(watcher.On(prefix + "/face/camera").empty());
  EXPECT_TRUE(watcher.On(prefix + "/vehicle/camera").empty());
  const std::string last = watcher.Last(topic)->payload;

  // Retained: a dashboard that subscribes now has it at once.
  MqttSubscriber dashboard(broker.port(), prefix + "/+/camera");
  ASSERT_TRUE(dashboard.WaitFor(topic, last, kWait));
  EXPECT_TRUE(dashboard.Last(topic)->retained);

  // A broker restarted without its retained messages has it again once
  // kestu-mqtt is back.
  broker.Stop();
  ASSERT_TRUE(mqtt.child().WaitForStderr("lost broker", kWait));
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(mqtt.child().WaitForStderr("reconnected to broker", kWait));
  MqttSubscriber after(broker.port(), prefix + "/+/camera");
  EXPECT_TRUE(after.WaitFor(topic, last, kWait)) << mqtt.child().Stderr();
}

INSTANTIATE_TEST_SUITE_P(
    Sources, MqttCameraTest,
    ::testing::Values(CameraCase{"PolledInfo", 582, true, false},
                      CameraCase{"Statuses", 583, false, true},
                      CameraCase{"StatusesAndInfo", 584, true, true}),
    [](const ::testing::TestParamInfo<CameraCase>& info) {
      return info.param.name;
    });

}  // namespace
}  // namespace kestu_tools
