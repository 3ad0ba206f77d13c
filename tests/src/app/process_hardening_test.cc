// The kestu-vision process against bad start-up flags, oversized messages
// and stop signals.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testing/test_util.h"
#include "tools/driver_client.h"

namespace {

using kestu_testing::ChildProcess;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
using kestu_tools::DriverClient;
using kestu_tools::QueryDriverInfo;
using std::chrono::milliseconds;

constexpr milliseconds kWait(10000);
constexpr char kBinary[] = KESTU_BINARY_DIR "/src/kestu-vision";

// The ports of the test's block; log lines go to standard error only (no
// log files left behind).
std::vector<std::string> PortFlags(int base) {
  return {"--bind_port=" + std::to_string(base),
          "--streaming_port=" + std::to_string(base + 15), "--logtostderr"};
}

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

struct FlagCase {
  const char* name;
  std::vector<std::string> flags;
  const char* error;
};
void PrintTo(const FlagCase& c, std::ostream* os) { *os << c.name; }

class BadFlagTest : public ::testing::TestWithParam<FlagCase> {};

TEST_P(BadFlagTest, ExitsOneWithOneErrorNamingTheFlag) {
  const FlagCase& c = GetParam();
  // Valid ports of this test's own block come first; the case overrides.
  std::vector<std::string> flags = PortFlags(PortBlock(270));
  flags.insert(flags.end(), c.flags.begin(), c.flags.end());
  ChildProcess process(kBinary, flags);
  EXPECT_EQ(process.Wait(kWait), 1);
  const std::string err = process.Stderr();
  EXPECT_EQ(Count(err, c.error), 1) << err;
  EXPECT_EQ(Count(err, "Invalid --"), 1) << err;
  EXPECT_EQ(err.find("Registered driver"), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Flags, BadFlagTest,
    ::testing::Values(
        FlagCase{"BindPortAbove65535",
                 {"--bind_port=70000"},
                 "Invalid --bind_port=70000: the ports 70000 to 70012 must lie "
                 "in 1024-65535"},
        FlagCase{"BindPortAtTheTopOfUint32",
                 {"--bind_port=4294967295"},
                 "Invalid --bind_port=4294967295: the ports 4294967295 to "
                 "4294967307"},
        FlagCase{"BindPortZero", {"--bind_port=0"}, "Invalid --bind_port=0:"},
        FlagCase{"BindPortBelow1024",
                 {"--bind_port=1023"},
                 "Invalid --bind_port=1023:"},
        FlagCase{"BlockPastTheLastPort",
                 {"--bind_port=65530"},
                 "Invalid --bind_port=65530: the ports 65530 to 65542"},
        FlagCase{"StreamingPortAbove65535",
                 {"--streaming_port=70000"},
                 "Invalid --streaming_port=70000: the port must lie in "
                 "1024-65535"},
        FlagCase{"StreamingPortZero",
                 {"--streaming_port=0"},
                 "Invalid --streaming_port=0:"},
        FlagCase{
            "NoConfigurationMessages",
            {"--max_config_message_bytes=0"},
            "Invalid --max_config_message_bytes=0: it must be at least 1"}),
    [](const ::testing::TestParamInfo<FlagCase>& info) {
      return std::string(info.param.name);
    });

class StopSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(StopSignalTest, RecordRunWritesItsFileAndExitsZero) {
  const int signal_number = GetParam();
  const int base = PortBlock(signal_number == SIGTERM ? 271 : 272);
  const std::string record = "/tmp/kestu-stop-" + std::to_string(base) + ".pb";
  std::remove(record.c_str());
  std::vector<std::string> flags = PortFlags(base);
  flags.push_back("--record_detections_file=" + record);
  ChildProcess process(kBinary, flags);
  ASSERT_TRUE(process.WaitForStderr("Registered driver CrowdDriver"));
  // The face driver is pinged and waits for its configuration.
  zmq::context_t context(1);
  DriverClient client(context, "127.0.0.1", base + 1);
  ASSERT_TRUE(client.Ping(kWait));
  ASSERT_TRUE(process.WaitForStderr("Waiting for configuration..."));

  const auto signalled = std::chrono::steady_clock::now();
  ASSERT_TRUE(process.Signal(signal_number));
  EXPECT_EQ(process.Wait(kWait), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled,
            std::chrono::seconds(5));
  const std::string err = process.Stderr();
  const std::string name = signal_number == SIGTERM ? "SIGTERM" : "SIGINT";
  EXPECT_NE(err.find(name + " received: stopping"), std::string::npos) << err;
  EXPECT_NE(err.find("Closing application..."), std::string::npos) << err;
  std::ifstream in(record, std::ios::binary);
  EXPECT_TRUE(in.good()) << record;
  std::remove(record.c_str());
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest,
                         ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == SIGTERM ? "Sigterm" : "Sigint";
                         });

// A driver opening a stream that never answers holds its capture thread for
// the network time-out; the stop does not wait for it.
class SlowStopTest : public ::testing::Test {
 protected:
  void StartStuck(int index) {
    base_ = PortBlock(index);
    process_ = std::make_unique<ChildProcess>(kBinary, PortFlags(base_));
    ASSERT_TRUE(process_->WaitForStderr("Registered driver CrowdDriver"));
    client_ = std::make_unique<DriverClient>(context_, "127.0.0.1", base_ + 1);
    ASSERT_TRUE(client_->Ping(kWait));
    kestu_tools::DriverConfig config;
    auto& properties = *config.mutable_kestu_eye_config()
                            ->mutable_config()
                            ->mutable_properties();
    properties["source"].set_string_value("udp://127.0.0.1:" +
                                          std::to_string(base_ + 17));
    ASSERT_TRUE(client_->Push(config, kWait));
    ASSERT_TRUE(process_->WaitForStderr("Trying to open camera at udp://"));
  }

  int base_ = 0;
  zmq::context_t context_{1};
  std::unique_ptr<DriverClient> client_;
  std::unique_ptr<ChildProcess> process_;
};

TEST_F(SlowStopTest, StopEndsWithinFiveSecondsWhateverIsStuck) {
  ASSERT_NO_FATAL_FAILURE(StartStuck(273));
  const auto signalled = std::chrono::steady_clock::now();
  ASSERT_TRUE(process_->Signal(SIGTERM));
  EXPECT_EQ(process_->Wait(kWait), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled,
            std::chrono::seconds(5));
  EXPECT_NE(process_->Stderr().find("Closing application..."),
            std::string::npos);
}

TEST_F(SlowStopTest, SecondSignalEndsTheProcessAtOnce) {
  ASSERT_NO_FATAL_FAILURE(StartStuck(274));
  ASSERT_TRUE(process_->Signal(SIGTERM));
  ASSERT_TRUE(process_->WaitForStderr("Closing application..."));
  const auto second = std::chrono::steady_clock::now();
  ASSERT_TRUE(process_->Signal(SIGTERM));
  EXPECT_EQ(process_->Wait(kWait), 128 + SIGTERM);
  EXPECT_LT(std::chrono::steady_clock::now() - second, milliseconds(1000));
}

TEST(MessageLimitTest, HugeRequestsAreRefusedWithoutGrowth) {
  const int base = PortBlock(275);
  ChildProcess process(kBinary, PortFlags(base));
  ASSERT_TRUE(process.WaitForStderr("Registered driver CrowdDriver"));
  zmq::context_t context(1);
  ASSERT_TRUE(QueryDriverInfo(context, "127.0.0.1", base, kWait));
  const int64_t before = kestu_testing::ResidentBytes(process.pid());
  ASSERT_GT(before, 0);

  const std::string huge(100 << 20, 'x');  // 100 MiB
  for (int port : {base + 2, base}) {  // face keep-alive, driver information
    zmq::socket_t request(context, zmq::socket_type::req);
    request.set(zmq::sockopt::linger, 0);
    request.set(zmq::sockopt::rcvtimeo, 2000);
    request.connect(kestu_tools::Endpoint("127.0.0.1", port));
    request.send(zmq::buffer(huge), zmq::send_flags::none);
    zmq::message_t reply;
    EXPECT_FALSE(request.recv(reply, zmq::recv_flags::none)) << port;
  }
  const int64_t after = kestu_testing::ResidentBytes(process.pid());
  EXPECT_LT(after - before, int64_t{16} << 20) << before << " -> " << after;

  // Everyone else is still served.
  DriverClient face(context, "127.0.0.1", base + 1);
  EXPECT_TRUE(face.Ping(kWait));
  EXPECT_TRUE(QueryDriverInfo(context, "127.0.0.1", base, kWait));
  EXPECT_TRUE(process.Running());
}

TEST(MessageLimitTest, ConfigurationLimitComesFromTheFlag) {
  const int base = PortBlock(276);
  std::vector<std::string> flags = PortFlags(base);
  flags.push_back("--max_config_message_bytes=4096");
  ChildProcess process(kBinary, flags);
  ASSERT_TRUE(process.WaitForStderr("Registered driver CrowdDriver"));
  zmq::context_t context(1);
  DriverClient client(context, "127.0.0.1", base + 1);
  kestu_tools::Subscriber status(context, client.StatusEndpoint(), kWait);
  ASSERT_TRUE(status.connected());
  ASSERT_TRUE(client.Ping(kWait));

  auto version = [](const std::string& uuid) {
    kestu_tools::DriverConfig config;
    config.set_uuid(uuid);
    config.mutable_kestu_eye_config()->set_action(
        talvenrook::kestu::v1::kestueye::GET_VERSION);
    return config;
  };
  ASSERT_TRUE(client.Push(version(std::string(8192, 'b')), kWait));
  // A second connection: the first one was dropped with its message.
  DriverClient other(context, "127.0.0.1", base + 1);
  ASSERT_TRUE(other.Push(version("small"), kWait));
  bool small = false;
  bool big = false;
  PollUntil(
      [&] {
        client.Ping(milliseconds(500));
        while (auto s = kestu_tools::ReceiveStatus(status, milliseconds(50))) {
          small |= s->type() == kestu_tools::Status::COMMAND_EXECUTED &&
                   s->uuid() == "small";
          big |= s->uuid().size() == 8192;
        }
        return small;
      },
      kWait, milliseconds(100));
  EXPECT_TRUE(small);
  EXPECT_FALSE(big);
}

}  // namespace
