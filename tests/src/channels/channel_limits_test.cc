// The channels of one driver under values and messages a client should not
// send: delays and time-outs out of range, oversized pings and
// configurations.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <glog/logging.h>
#include <gtest/gtest.h>

#include "src/channels/kestu_base.h"
#include "tests/testing/test_util.h"
#include "tools/driver_client.h"

namespace vostek_kestu {
namespace {

using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
using kestu_testing::StderrCapture;
using kestu_tools::DriverClient;
using std::chrono::milliseconds;

constexpr milliseconds kWait(5000);
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr int kOneDayMs = 24 * 60 * 60 * 1000;

// Counts update cycles and received configurations; needs no configuration
// to run its update cycles.
class CountingDriver : public KestuBase {
 public:
  CountingDriver() : KestuBase("Limits") {}
  ~CountingDriver() override { StopChannels(); }
  bool SendUpdate() override {
    ++updates;
    return true;
  }
  bool ProcessConfig(const DriverConfig& config) override {
    ++configs;
    return true;
  }
  std::atomic<int> updates{0};
  std::atomic<int> configs{0};
};

// Collects WARNING lines of the logging library.
class WarningSink : public google::LogSink {
 public:
  WarningSink() { google::AddLogSink(this); }
  ~WarningSink() override { google::RemoveLogSink(this); }
  using google::LogSink::send;
  void send(google::LogSeverity severity, const char*, const char*, int,
            const struct ::tm*, const char* message, size_t length) override {
    if (severity != google::GLOG_WARNING) return;
    std::lock_guard<std::mutex> lock(mutex_);
    text_ += std::string(message, length) + "\n";
  }
  std::string text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 private:
  mutable std::mutex mutex_;  // guards text_
  std::string text_;
};

struct TimingCase {
  const char* name;
  int port_index;
  float delay_s;
  float timeout_s;
  int expected_delay_ms;
  int expected_timeout_ms;
  const char* warning;  // expected among the WARNING lines
};
void PrintTo(const TimingCase& c, std::ostream* os) { *os << c.name; }

class TimingValueTest : public ::testing::TestWithParam<TimingCase> {};

TEST_P(TimingValueTest, OutOfRangeValuesAreClampedOrRefusedAndPingsGoOn) {
  const TimingCase& c = GetParam();
  StderrCapture capture;
  WarningSink warnings;
  CountingDriver driver;
  const int base = PortBlock(c.port_index);
  ASSERT_TRUE(driver.Init(base, "127.0.0.1"));
  zmq::context_t context(1);
  DriverClient client(context, "127.0.0.1", base);

  DriverConfig config;
  config.set_delay_between_updates(c.delay_s);
  config.set_timeout_after_last_ping(c.timeout_s);
  ASSERT_TRUE(client.Push(config, kWait));
  ASSERT_TRUE(PollUntil([&] { return driver.configs == 1; }));
  ASSERT_TRUE(PollUntil([&] { return driver.configured(); }));
  EXPECT_EQ(driver.delay_between_updates_ms(), c.expected_delay_ms);
  EXPECT_EQ(driver.timeout_after_last_ping_ms(), c.expected_timeout_ms);
  EXPECT_NE(warnings.text().find(c.warning), std::string::npos)
      << warnings.text();
  // The keep-alive channel survives whatever the value was.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(client.Ping(kWait)) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Values, TimingValueTest,
    ::testing::Values(
        TimingCase{"InfiniteTimeout", 250, 0, kInf, 1000, 5000,
                   "timeout_after_last_ping for Limits refused: inf s is not "
                   "a finite number; keeping 5000 ms."},
        TimingCase{"NegativeInfiniteTimeout", 251, 0, -kInf, 1000, 5000,
                   "not a finite number"},
        TimingCase{"NaNDelay", 252, kNaN, 0, 1000, 5000,
                   "delay_between_updates for Limits refused: nan s"},
        TimingCase{"InfiniteDelay", 253, kInf, 0, 1000, 5000,
                   "delay_between_updates for Limits refused: inf s"},
        // 2147483.648 s is the first value whose milliseconds overflow an int.
        TimingCase{"TimeoutPastIntMilliseconds", 254, 0, 2147483.648f, 1000,
                   kOneDayMs, "timeout_after_last_ping for Limits of"},
        TimingCase{"HugeDelay", 255, 1e30f, 0, kOneDayMs, 5000,
                   "s is above one day; using 86400000 ms."},
        TimingCase{"DelayOfElevenDays", 256, 1e6f, 0, kOneDayMs, 5000,
                   "above one day"},
        TimingCase{"DelayBelowOneMillisecond", 257, 0.0004f, 0.0001f, 1, 1,
                   "s is below 1 ms; using 1 ms."},
        TimingCase{"NegativeDelay", 258, -3.0f, 0, 1000, 5000,
                   "-3 s is negative; keeping 1000 ms."}),
    [](const ::testing::TestParamInfo<TimingCase>& info) {
      return std::string(info.param.name);
    });

TEST(TimingChangeTest, ShorterDelayEndsALongWaitAtOnce) {
  StderrCapture capture;
  CountingDriver driver;
  const int base = PortBlock(259);
  ASSERT_TRUE(driver.Init(base, "127.0.0.1"));
  zmq::context_t context(1);
  DriverClient client(context, "127.0.0.1", base);
  DriverConfig config;
  config.set_delay_between_updates(1e6f);  // clamped to one day
  ASSERT_TRUE(client.Push(config, kWait));
  ASSERT_TRUE(PollUntil([&] {
    client.Ping(kWait);
    return driver.configured() && driver.updates >= 1;
  }));
  // The update thread now waits for a day; the new delay ends that wait.
  config.set_delay_between_updates(0.02f);
  const int before = driver.updates;
  ASSERT_TRUE(client.Push(config, kWait));
  EXPECT_TRUE(PollUntil(
      [&] {
        client.Ping(kWait);
        return driver.updates >= before + 5;
      },
      milliseconds(3000)));
}

TEST(TimingChangeTest, ShorterTimeoutEndsALongWaitAtOnce) {
  StderrCapture capture;
  CountingDriver driver;
  const int base = PortBlock(260);
  ASSERT_TRUE(driver.Init(base, "127.0.0.1"));
  zmq::context_t context(1);
  DriverClient client(context, "127.0.0.1", base);
  DriverConfig config;
  config.set_timeout_after_last_ping(1e6f);  // clamped to one day
  ASSERT_TRUE(client.Push(config, kWait));
  ASSERT_TRUE(PollUntil(
      [&] { return driver.timeout_after_last_ping_ms() == kOneDayMs; }));
  ASSERT_TRUE(client.Ping(kWait));
  ASSERT_TRUE(driver.alive());
  // No more pings: with the new time-out the driver counts as gone at once,
  // not a day after the last ping.
  config.set_timeout_after_last_ping(0.2f);
  ASSERT_TRUE(client.Push(config, kWait));
  EXPECT_TRUE(PollUntil([&] { return !driver.alive(); }, milliseconds(2000)));
  EXPECT_TRUE(client.Ping(kWait));
  EXPECT_TRUE(driver.alive());
}

struct SizeCase {
  const char* name;
  int port_index;
  size_t bytes;
  bool answered;
};
void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class MessageSizeTest : public ::testing::TestWithParam<SizeCase> {};

// Pings are limited to 64 KiB, the configuration port to what the driver was
// given (1 MiB here). A larger message drops the sender's connection; the
// channel goes on serving everyone else.
TEST_P(MessageSizeTest, LargerMessagesAreRefusedAndTheChannelGoesOn) {
  const SizeCase& c = GetParam();
  StderrCapture capture;
  CountingDriver driver;
  driver.set_max_configuration_message_bytes(1 << 20);
  const int base = PortBlock(c.port_index);
  ASSERT_TRUE(driver.Init(base, "127.0.0.1"));
  zmq::context_t context(1);

  zmq::socket_t pinger(context, zmq::socket_type::req);
  pinger.set(zmq::sockopt::linger, 0);
  pinger.set(zmq::sockopt::rcvtimeo, 1500);
  pinger.connect(kestu_tools::Endpoint("127.0.0.1", base + 1));
  pinger.send(zmq::buffer(std::string(c.bytes, 'p')), zmq::send_flags::none);
  zmq::message_t reply;
  EXPECT_EQ(pinger.recv(reply, zmq::recv_flags::none).has_value(), c.answered);

  DriverConfig config;
  config.set_uuid(std::string(c.bytes * 16, 'u'));  // 16 times the ping
  DriverClient client(context, "127.0.0.1", base);
  ASSERT_TRUE(client.Push(config, kWait));
  EXPECT_EQ(PollUntil([&] { return driver.configs == 1; }, milliseconds(1500)),
            c.answered);

  // Well-behaved clients are still served.
  DriverClient other(context, "127.0.0.1", base);
  EXPECT_TRUE(other.Ping(kWait));
  DriverConfig small;
  small.set_uuid("small");
  ASSERT_TRUE(other.Push(small, kWait));
  const int expected = c.answered ? 2 : 1;
  EXPECT_TRUE(PollUntil([&] { return driver.configs == expected; }));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, MessageSizeTest,
    ::testing::Values(SizeCase{"Within", 261, 60 << 10, true},
                      SizeCase{"Beyond", 262, 70 << 10, false}),
    [](const ::testing::TestParamInfo<SizeCase>& info) {
      return std::string(info.param.name);
    });

// Bytes that are no ZeroMQ greeting (a port scan, a stray client) close
// their connection; before, the library's legacy framing turned them into
// messages and the keep-alive port stopped answering real pings.
TEST(GarbageTest, RawBytesOnTheKeepAlivePortLeavePingsAnswered) {
  StderrCapture capture;
  CountingDriver driver;
  const int base = PortBlock(277);
  ASSERT_TRUE(driver.Init(base, "127.0.0.1"));
  std::atomic<bool> stop{false};
  std::thread garbage([&] {
    std::mt19937 rng(7);
    while (!stop) {
      const int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address = {};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(base + 1));
      inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
      if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) ==
          0) {
        std::string bytes(rng() % 512, '\0');
        for (char& c : bytes) c = static_cast<char>(rng());
        (void)!write(fd, bytes.data(), bytes.size());
      }
      close(fd);
      std::this_thread::sleep_for(milliseconds(5));
    }
  });
  zmq::context_t context(1);
  DriverClient client(context, "127.0.0.1", base);
  int answered = 0;
  for (int i = 0; i < 30; ++i) {
    std::this_thread::sleep_for(milliseconds(20));
    answered += client.Ping(milliseconds(1000)) ? 1 : 0;
  }
  stop = true;
  garbage.join();
  EXPECT_EQ(answered, 30);
}

}  // namespace
}  // namespace vostek_kestu
