// kestu-web against real kestu-vision processes: several processes behind
// one page, a process that is not there yet, commands answered with the
// driver's own status, and metrics that a Prometheus parser accepts.
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "kestu_tools.pb.h"
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
