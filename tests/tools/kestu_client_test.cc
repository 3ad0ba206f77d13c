// kestu-client against a real kestu-vision process and a real streaming
// channel.
#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "src/channels/streaming_manager.h"
#include "tests/src/drivers/drivers_test_util.h"
#include "tests/testing/test_util.h"
#include "tools/driver_client.h"

namespace {

using kestu_testing::ChildProcess;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
using std::chrono::milliseconds;

constexpr milliseconds kWait(10000);
constexpr char kServer[] = KESTU_BINARY_DIR "/src/kestu-vision";
constexpr char kClient[] = KESTU_BINARY_DIR "/tools/kestu-client";

class ClientTest : public ::testing::Test {
 protected:
  void StartServer(int index) {
    base_ = PortBlock(index);
    server_ = std::make_unique<ChildProcess>(
        kServer, std::vector<std::string>{
                     "--bind_port=" + std::to_string(base_),
                     "--streaming_port=" + std::to_string(base_ + 15)});
    ASSERT_TRUE(server_->WaitForStderr("Registered driver CrowdDriver"));
  }

  // Runs the client to its end; returns the exit status.
  int Client(std::vector<std::string> args, std::string* out = nullptr,
             std::string* err = nullptr) {
    args.insert(args.begin(),
                {"--bind_port=" + std::to_string(base_), "--timeout_ms=2000"});
    ChildProcess client(kClient, args);
    const int status = client.Wait(kWait);
    if (out) *out = client.Stdout();
    if (err) *err = client.Stderr();
    return status;
  }

  std::string WriteFile(const std::string& name, const std::string& text) {
    const std::string path =
        "/tmp/kestu-client-test-" + std::to_string(base_) + "-" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  int base_ = 0;
  std::unique_ptr<ChildProcess> server_;
};

TEST_F(ClientTest, InfoPingAndSend) {
  ASSERT_NO_FATAL_FAILURE(StartServer(40));
  std::string out, err;
  ASSERT_EQ(Client({"info"}, &out), 0);
  EXPECT_NE(out.find("driver_name: \"Face Driver\""), std::string::npos);
  EXPECT_NE(out.find("base_port: " + std::to_string(base_ + 9)),
            std::string::npos);
  EXPECT_EQ(Client({"ping", "vehicle"}, &out), 0);
  EXPECT_NE(out.find("pong from vehicle driver"), std::string::npos);

  const std::string config =
      WriteFile("c.textproto", "delay_between_updates: 0.25\nuuid: \"u-1\"\n");
  EXPECT_EQ(Client({"--nowait", "send", "face", config}, &out), 0);
  EXPECT_NE(out.find("sent u-1"), std::string::npos);
  EXPECT_TRUE(server_->WaitForStderr(
      "New delay between updates for Face Driver is 250 ms."));

  // An action waits for the status that answers its uuid.
  ASSERT_EQ(Client({"--timeout_ms=8000", "--uuid=v-1", "action", "face",
                    "GET_VERSION"},
                   &out),
            0)
      << out;
  EXPECT_NE(
      out.find("type: COMMAND_EXECUTED\nuuid: \"v-1\"\nmessage: \"2.9.1\""),
      std::string::npos)
      << out;

  // Binary form, chosen by the extension.
  talvenrook::kestu::v1::driver::DriverConfig binary;
  binary.set_timeout_after_last_ping(2.0f);
  const std::string pb = WriteFile("c.pb", binary.SerializeAsString());
  EXPECT_EQ(Client({"--nowait", "send", "crowd", pb}), 0);
  EXPECT_TRUE(server_->WaitForStderr(
      "New timeout after last ping for CrowdDriver 2000 ms."));
}

struct BadCall {
  const char* name;
  std::vector<std::string> args;
  const char* message;
};

void PrintTo(const BadCall& c, std::ostream* os) { *os << c.name; }

class BadCallTest : public ClientTest,
                    public ::testing::WithParamInterface<BadCall> {};

TEST_P(BadCallTest, ExitsOneWithAClearMessage) {
  base_ = PortBlock(41);  // nothing listens there
  std::string err;
  EXPECT_EQ(Client(GetParam().args, nullptr, &err), 1);
  EXPECT_NE(err.find(GetParam().message), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, BadCallTest,
    ::testing::Values(
        BadCall{"NoProcessInfo", {"info"}, "no answer from tcp://127.0.0.1:"},
        BadCall{"NoProcessPing",
                {"ping", "face"},
                "face driver did not answer the ping"},
        BadCall{"UnknownDriver", {"ping", "bus"}, "unknown driver bus"},
        BadCall{"UnknownAction",
                {"action", "face", "DANCE"},
                "unknown action DANCE"},
        BadCall{"MissingFile",
                {"send", "face", "/nonexistent.textproto"},
                "cannot open /nonexistent.textproto"},
        BadCall{"StreamWithoutOut", {"stream"}, "stream needs --out DIR"}),
    [](const ::testing::TestParamInfo<BadCall>& info) {
      return std::string(info.param.name);
    });

TEST_F(ClientTest, ListenPrintsStatusesWhileItPings) {
  ASSERT_NO_FATAL_FAILURE(StartServer(42));
  ChildProcess listen(kClient,
                      {"--bind_port=" + std::to_string(base_), "--count=1",
                       "--ping_interval_ms=50", "listen", "face"});
  // Unparsable bytes make the driver publish an error status; repeat until
  // the listener has joined and printed one.
  zmq::context_t context(1);
  kestu_tools::DriverClient face(context, "127.0.0.1", base_ + 1);
  EXPECT_TRUE(PollUntil(
      [&] {
        face.Push(std::string("\xff", 1), milliseconds(100));
        return !listen.Running();
      },
      kWait, milliseconds(50)));
  EXPECT_EQ(listen.Wait(kWait), 0);
  EXPECT_NE(listen.Stdout().find("type: STATUS_ERROR"), std::string::npos)
      << listen.Stdout();
}

// send and action wait --send_timeout_ms for the driver's answer, not
// --timeout_ms: the crowd configuration loads its detector for about a
// second, and one more such configuration is queued ahead of each call.
struct SlowAnswerCase {
  const char* name;
  std::vector<std::string> flags;
  std::vector<std::string> command;  // the driver and its arguments follow
  int status;
  const char* expected;  // %s stands for the uuid
};

TEST_F(ClientTest, SendAndActionWaitForTheDriversAnswer) {
  ASSERT_NO_FATAL_FAILURE(StartServer(340));
  vostek_kestu::DriverConfig crowd = vostek_kestu::SampleConfig(
      "crowd_walkway.textproto", vostek_kestu::kPeopleClip);
  crowd.clear_uuid();
  const std::string config = WriteFile("crowd.pb", crowd.SerializeAsString());
  const std::vector<SlowAnswerCase> cases = {
      {"SendOutlastsTimeoutMs",
       {"--timeout_ms=300"},
       {"send", "crowd", config},
       0,
       "type: CONFIG_RECEIVED\nuuid: \"%s\""},
      {"ActionOutlastsTimeoutMs",
       {"--timeout_ms=300"},
       {"action", "crowd", "GET_VERSION"},
       0,
       "type: COMMAND_EXECUTED\nuuid: \"%s\""},
      {"SendTimesOut",
       {"--send_timeout_ms=300"},
       {"send", "crowd", config},
       1,
       "kestu-client: crowd driver: no CONFIG_RECEIVED or STATUS_ERROR for "
       "%s within 300 ms"},
      {"ActionTimesOut",
       {"--send_timeout_ms=300"},
       {"action", "crowd", "GET_VERSION"},
       1,
       "kestu-client: crowd driver: no COMMAND_EXECUTED or STATUS_ERROR for "
       "%s within 300 ms"},
  };
  int n = 0;
  for (const SlowAnswerCase& c : cases) {
    const std::string uuid = std::string(c.name) + "-" + std::to_string(++n);
    std::string out, err;
    ASSERT_EQ(
        Client({"--nowait", "--uuid=ahead-" + uuid, "send", "crowd", config},
               &out, &err),
        0)
        << err;
    std::vector<std::string> args = c.flags;
    args.push_back("--uuid=" + uuid);
    args.insert(args.end(), c.command.begin(), c.command.end());
    EXPECT_EQ(Client(args, &out, &err), c.status) << c.name << ": " << err;
    std::string expected = c.expected;
    expected.replace(expected.find("%s"), 2, uuid);
    const std::string& printed = c.status == 0 ? out : err;
    EXPECT_NE(printed.find(expected), std::string::npos)
        << c.name << ": " << printed;
  }
}

TEST_F(ClientTest, StreamWritesEachResultsJpeg) {
  base_ = PortBlock(43);
  vostek_kestu::StreamingManager streaming;
  ASSERT_TRUE(streaming.Init(base_ + 15, "127.0.0.1"));
  streaming.SetEnabled(true);
  const std::string dir = "/tmp/kestu-client-stream-" + std::to_string(base_);
  ChildProcess stream(kClient,
                      {"--streaming_port=" + std::to_string(base_ + 15),
                       "--out=" + dir, "--count=2", "stream"});
  vostek_kestu::VisionResult result;
  result.mutable_result_image()->set_image("\xff\xd8 not really a jpeg");
  result.add_rect_detection();
  EXPECT_TRUE(PollUntil(
      [&] {
        streaming.Send(result);
        return !stream.Running();
      },
      kWait, milliseconds(20)));
  EXPECT_EQ(stream.Wait(kWait), 0);
  EXPECT_EQ(kestu_testing::ReadFile(dir + "/frame_000000.jpg"),
            result.result_image().image());
  EXPECT_EQ(kestu_testing::ReadFile(dir + "/frame_000001.jpg"),
            result.result_image().image());
  EXPECT_NE(stream.Stdout().find("(1 detections, 0 events)"),
            std::string::npos);
}

}  // namespace
