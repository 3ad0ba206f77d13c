// kestu-web against real kestu-vision processes: several processes behind
// one page, a process that is not there yet, commands answered with the
// driver's own status, and metrics that a Prometheus parser accepts; and
// the camera and dropped-status metrics over a fake process whose driver
// information the test sets.
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "kestu_tools.pb.h"
#include "tests/tools/fake_process.h"
#include "tests/tools/web_test_util.h"

namespace kestu_tools {
namespace {

using kestu_testing::PollUntil;
using kestu_testing::PortBlock;

TEST(WebTest, TwoProcessesBehindOnePageAreLabelledApart) {
  const int first = PortBlock(450), second = PortBlock(451);
  VisionProcess a(first), b(second);
  WebProcess web(PortBlock(452), {Address(first), Address(second)});
  ASSERT_TRUE(a.Started() && b.Started() && web.Started());
  httplib::Client client("127.0.0.1", web.port());
  kestu::tools::WebState state;
  ASSERT_TRUE(PollUntil(
      [&] {
        state = GetState(client);
        return state.processes_size() == 2 && state.processes(0).reachable() &&
               state.processes(1).reachable();
      },
      kWait));
  EXPECT_EQ(state.processes(0).name(), Address(first));
  EXPECT_EQ(state.processes(1).name(), Address(second));
  for (const auto& process : state.processes()) {
    ASSERT_EQ(process.drivers_size(), 3);
    EXPECT_EQ(process.drivers(2).name(), "CrowdDriver");
  }
  const std::string metrics = Get(client, "/metrics");
  EXPECT_NE(
      metrics.find("kestu_process_up{process=\"" + Address(first) + "\"} 1"),
      std::string::npos);
  EXPECT_NE(
      metrics.find("kestu_process_up{process=\"" + Address(second) + "\"} 1"),
      std::string::npos);
  // Drivers without a configured source have no camera series.
  EXPECT_EQ(metrics.find("kestu_camera_connected{"), std::string::npos);
  EXPECT_TRUE(PromtoolAccepts(metrics)) << metrics;
  // The page lists the processes from the state it fetches.
  EXPECT_NE(Get(client, "/").find("fetch(\"/api/state\")"), std::string::npos);
}

TEST(WebTest, ProcessThatIsNotThereIsRetriedUntilItIs) {
  const int base = PortBlock(453);
  WebProcess web(PortBlock(454), {Address(base)});
  ASSERT_TRUE(web.Started());
  httplib::Client client("127.0.0.1", web.port());
  // A query went unanswered: the page and the metric say so.
  ASSERT_TRUE(PollUntil(
      [&] {
        const auto state = GetState(client);
        return state.processes_size() == 1 &&
               state.processes(0).unanswered_queries() >= 1;
      },
      kWait));
  EXPECT_FALSE(GetState(client).processes(0).reachable());
  EXPECT_NE(Get(client, "/metrics")
                .find("kestu_process_up{process=\"" + Address(base) + "\"} 0"),
            std::string::npos);
  VisionProcess late(base);
  ASSERT_TRUE(late.Started());
  EXPECT_TRUE(PollUntil(
      [&] { return GetState(client).processes(0).reachable(); }, kWait));
  EXPECT_TRUE(web.Running());
}

// The value of a metric's sample for one driver; nothing when absent.
std::optional<double> Sample(const std::string& metrics,
                             const std::string& name,
                             const std::string& driver) {
  std::istringstream lines(metrics);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(name + "{", 0) == 0 &&
        line.find("driver=\"" + driver + "\"") != std::string::npos) {
      return std::stod(line.substr(line.rfind(' ') + 1));
    }
  }
  return std::nullopt;
}

TEST(WebTest, CameraMetricsFollowTheInformationAndTheStatuses) {
  const int base = PortBlock(585);
  FakeProcess fake(base, base + 15);
  // crowd: connected a minute ago, its last frame 42 s ago, 3 captures
  // abandoned; face: reported without a source; vehicle: reports nothing
  // and sends statuses only.
  const int64_t last_frame = NowMillis() - 42000;
  CameraState crowd = Camera(true, last_frame - 18000, last_frame);
  crowd.set_abandoned_captures(3);
  fake.SetCamera("crowd", crowd);
  fake.SetCamera("face", CameraState());
  WebProcess web(base + 17, {Address(base)});
  ASSERT_TRUE(web.Started());
  httplib::Client client("127.0.0.1", web.port());
  std::string metrics;
  auto sample = [&](const std::string& name, const std::string& driver) {
    return Sample(metrics, name, driver);
  };
  ASSERT_TRUE(PollUntil(
      [&] {
        metrics = Get(client, "/metrics");
        return sample("kestu_camera_connected", "crowd") == 1.0;
      },
      kWait))
      << metrics;
  const auto since_frame =
      sample("kestu_camera_seconds_since_last_frame", "crowd");
  ASSERT_TRUE(since_frame.has_value()) << metrics;
  EXPECT_GE(*since_frame, 42.0);
  EXPECT_LE(*since_frame, (NowMillis() - last_frame) / 1e3);
  EXPECT_EQ(sample("kestu_camera_abandoned_captures_total", "crowd"), 3.0);
  for (const std::string name :
       {"kestu_camera_connected", "kestu_camera_seconds_since_last_frame",
        "kestu_camera_abandoned_captures_total"}) {
    for (const std::string driver : {"face", "vehicle"}) {
      EXPECT_FALSE(sample(name, driver).has_value()) << name << " " << driver;
    }
  }
  EXPECT_TRUE(PromtoolAccepts(metrics)) << metrics;
  const auto state = GetState(client).processes(0);
  const auto& camera = state.drivers(2).camera();
  EXPECT_TRUE(state.drivers(2).connected());
  EXPECT_TRUE(camera.has_source());
  EXPECT_EQ(camera.last_frame_ms(), last_frame);
  EXPECT_EQ(camera.since_ms(), last_frame - 18000);
  EXPECT_GE(camera.picture_age_ms(), 42000);
  EXPECT_FALSE(state.drivers(0).camera().has_source());

  // The vehicle driver's statuses alone make its series, and change it.
  for (const auto& [type, value] :
       {std::make_pair(Status::CAMERA_CONNECTED, 1.0),
        std::make_pair(Status::CAMERA_DISCONNECTED, 0.0)}) {
    EXPECT_TRUE(PollUntil(
        [&, type = type, value = value] {
          fake.SendStatus("vehicle", type);
          metrics = Get(client, "/metrics");
          return sample("kestu_camera_connected", "vehicle") == value;
        },
        kWait, milliseconds(100)))
        << Status::MessageType_Name(type) << "\n"
        << metrics;
  }
  // The crowd driver's camera goes by its information alone.
  crowd.set_connected(false);
  fake.SetCamera("crowd", crowd);
  EXPECT_TRUE(PollUntil(
      [&] {
        metrics = Get(client, "/metrics");
        return sample("kestu_camera_connected", "crowd") == 0.0;
      },
      kWait))
      << metrics;
  EXPECT_FALSE(GetState(client).processes(0).drivers(2).connected());
}

TEST(WebTest, DroppedStatusesMetricFollowsTheInformation) {
  const int base = PortBlock(581);
  FakeProcess fake(base, base + 15);
  fake.SetDroppedStatuses("crowd", 12);
  WebProcess web(base + 17, {Address(base)});
  ASSERT_TRUE(web.Started());
  httplib::Client client("127.0.0.1", web.port());
  std::string metrics;
  ASSERT_TRUE(PollUntil(
      [&] {
        metrics = Get(client, "/metrics");
        return Sample(metrics, "kestu_dropped_statuses_total", "crowd") == 12.0;
      },
      kWait))
      << metrics;
  EXPECT_EQ(Sample(metrics, "kestu_dropped_statuses_total", "face"), 0.0);
  EXPECT_NE(metrics.find("# TYPE kestu_dropped_statuses_total counter"),
            std::string::npos);
  EXPECT_TRUE(PromtoolAccepts(metrics)) << metrics;
  // A later poll's count replaces the earlier one.
  fake.SetDroppedStatuses("crowd", 40);
  EXPECT_TRUE(PollUntil(
      [&] {
        metrics = Get(client, "/metrics");
        return Sample(metrics, "kestu_dropped_statuses_total", "crowd") == 40.0;
      },
      kWait))
      << metrics;
}

struct CommandCase {
  const char* name;
  int port_index;  // each case runs as its own test process
  std::string body;
  int http_status;
  std::string status_type;  // of the driver's answer; empty: none
  std::string text;         // in the message or the error
};

class WebCommandTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(WebCommandTest, AnswersWithTheDriversStatus) {
  const CommandCase& c = GetParam();
  const int base = PortBlock(c.port_index);
  VisionProcess process(base);
  WebProcess web(PortBlock(c.port_index + 1), {Address(base)});
  ASSERT_TRUE(process.Started() && web.Started());
  httplib::Client client("127.0.0.1", web.port());
  client.set_read_timeout(20, 0);
  ASSERT_TRUE(PollUntil(
      [&] {
        const auto state = GetState(client);
        return state.processes_size() == 1 && state.processes(0).reachable();
      },
      kWait));
  std::string body = c.body;
  const std::string marker = "PROCESS";
  if (const size_t at = body.find(marker); at != std::string::npos) {
    body.replace(at, marker.size(), Address(base));
  }
  const auto response = client.Post("/api/command", body, "application/json");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, c.http_status) << response->body;
  kestu::tools::WebCommandAnswer answer;
  ASSERT_TRUE(
      google::protobuf::util::JsonStringToMessage(response->body, &answer).ok())
      << response->body;
  if (c.status_type.empty()) {
    EXPECT_FALSE(answer.has_status());
    EXPECT_NE(answer.error().find(c.text), std::string::npos) << answer.error();
  } else {
    ASSERT_TRUE(answer.has_status()) << response->body;
    EXPECT_EQ(::talvenrook::kestu::v1::driver::Status::MessageType_Name(
                  answer.status().type()),
              c.status_type);
    EXPECT_EQ(answer.status().uuid(), answer.uuid());
    EXPECT_NE(answer.status().message().find(c.text), std::string::npos)
        << answer.status().message();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, WebCommandTest,
    ::testing::Values(
        CommandCase{
            "Version", 470,
            R"({"process":"PROCESS","driver":"crowd","action":"GET_VERSION"})",
            200, "COMMAND_EXECUTED", "2.9.1"},
        CommandCase{"UnknownAction", 472,
                    R"({"process":"PROCESS","driver":"crowd","action":"FLY"})",
                    400, "", "Unknown action: FLY"},
        CommandCase{
            "ConfigurationThatDoesNotParse", 474,
            R"({"process":"PROCESS","driver":"face","config":"kestu_eye_config {"})",
            400, "", "does not parse"},
        CommandCase{
            "UnknownDriver", 476,
            R"({"process":"PROCESS","driver":"boat","action":"GET_VERSION"})",
            404, "", "Unknown process or driver"}),
    [](const ::testing::TestParamInfo<CommandCase>& info) {
      return info.param.name;
    });

}  // namespace
}  // namespace kestu_tools
