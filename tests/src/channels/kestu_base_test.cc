// The four driver channels over real sockets on 127.0.0.1.
#include "src/channels/kestu_base.h"

#include <atomic>
#include <random>
#include <thread>

#include <glog/logging.h>
#include <gtest/gtest.h>

#include "src/drivers/driver_face.h"
#include "tests/testing/test_util.h"
#include "tools/driver_client.h"

namespace vostek_kestu {
namespace {

using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
using kestu_testing::StderrCapture;
using kestu_tools::DriverClient;
using kestu_tools::ReceiveStatus;
using kestu_tools::Subscriber;
using std::chrono::milliseconds;

constexpr milliseconds kWait(5000);

// A driver that counts update cycles and can reject configurations.
class CountingDriver : public KestuBase {
 public:
  explicit CountingDriver(bool mandatory) : KestuBase("Counting") {
    set_mandatory_configuration(mandatory);
  }
  ~CountingDriver() override { StopChannels(); }
  bool SendUpdate() override {
    ++updates;
    return update_result;
  }
  bool ProcessConfig(const DriverConfig& config) override {
    ++configs;
    return accept;
  }
  std::atomic<int> updates{0};
  std::atomic<int> configs{0};
  std::atomic<bool> update_result{true};
  std::atomic<bool> accept{true};
};

// Sends bytes that never parse until the first error status arrives, then
// drains what is left, so that later statuses are known to be seen.
void WarmUp(DriverClient& client, Subscriber& status) {
  ASSERT_TRUE(PollUntil(
      [&] {
        client.Push(std::string("\xff", 1), kWait);
        return ReceiveStatus(status, milliseconds(50)).has_value();
      },
      kWait));
  while (ReceiveStatus(status, milliseconds(200))) {
  }
}

class FaceChannelTest : public ::testing::Test {
 protected:
  void StartDriver(int index) {
    base_ = PortBlock(index);
    ASSERT_TRUE(driver_.Init(base_, "127.0.0.1"));
    client_ = std::make_unique<DriverClient>(context_, "127.0.0.1", base_);
    status_ = std::make_unique<Subscriber>(context_, client_->StatusEndpoint(),
                                           kWait);
    ASSERT_TRUE(status_->connected());
  }

  StderrCapture stderr_;
  zmq::context_t context_{1};
  Driver driver_{FaceDriver::Kind()};
  int base_ = 0;
  std::unique_ptr<DriverClient> client_;
  std::unique_ptr<Subscriber> status_;
};

struct BadInput {
  const char* name;
  int port_index;
  std::string bytes;
};

void PrintTo(const BadInput& input, std::ostream* os) { *os << input.name; }

class BadConfigurationTest : public FaceChannelTest,
                             public ::testing::WithParamInterface<BadInput> {};

TEST_P(BadConfigurationTest, ExactlyOneErrorStatusAndDriverStaysUsable) {
  ASSERT_NO_FATAL_FAILURE(StartDriver(GetParam().port_index));
  WarmUp(*client_, *status_);
  const size_t pending = driver_.PendingConfigurationCount();

  ASSERT_TRUE(client_->Push(GetParam().bytes, kWait));
  auto status = ReceiveStatus(*status_, kWait);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->type(), Status::STATUS_ERROR);
  EXPECT_EQ(status->uuid(), "");
  EXPECT_EQ(status->message(),
            "Invalid configuration for Face Driver driver. Could not parse "
            "protobuf.");
  EXPECT_FALSE(ReceiveStatus(*status_, milliseconds(300)).has_value());
  EXPECT_FALSE(driver_.configured());
  EXPECT_EQ(driver_.PendingConfigurationCount(), pending);
  EXPECT_TRUE(
      stderr_.Contains("Invalid configuration for Face Driver driver.\n"));
  EXPECT_TRUE(client_->Ping(kWait));
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, BadConfigurationTest,
    ::testing::Values(BadInput{"Empty", 1, ""},
                      // uuid field (14) announcing 10 bytes but carrying 2.
                      BadInput{"Truncated", 2,
                               std::string("\x72\x0a"
                                           "ab",
                                           4)},
                      // Wire type 7 does not exist.
                      BadInput{"InvalidWireType", 3,
                               std::string("\x0f\x01\x02", 3)},
                      BadInput{"Huge", 4, std::string(3 << 20, '\xff')}),
    [](const ::testing::TestParamInfo<BadInput>& info) {
      return std::string(info.param.name);
    });

struct DelayCase {
  const char* name;
  int port_index;
  float delay_s;
  float timeout_s;
  int expected_delay_ms;
  int expected_timeout_ms;
  const char* expected_line;  // empty when nothing is written
};

void PrintTo(const DelayCase& c, std::ostream* os) { *os << c.name; }

class DelayTest : public FaceChannelTest,
                  public ::testing::WithParamInterface<DelayCase> {};

TEST_P(DelayTest, AcceptedConfigurationAppliesPositiveValuesOnly) {
  const DelayCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(StartDriver(c.port_index));
  DriverConfig config;
  config.set_delay_between_updates(c.delay_s);
  config.set_timeout_after_last_ping(c.timeout_s);
  ASSERT_TRUE(client_->Push(config, kWait));
  ASSERT_TRUE(PollUntil([&] { return driver_.configured(); }));
  EXPECT_EQ(driver_.delay_between_updates_ms(), c.expected_delay_ms);
  EXPECT_EQ(driver_.timeout_after_last_ping_ms(), c.expected_timeout_ms);
  EXPECT_EQ(driver_.Info().delay_between_updates(), c.expected_delay_ms);
  const std::string err = stderr_.str();
  if (*c.expected_line) {
    EXPECT_NE(err.find(c.expected_line), std::string::npos) << err;
  }
  EXPECT_EQ(err.find("New delay") != std::string::npos, c.delay_s > 0) << err;
  EXPECT_EQ(err.find("New timeout") != std::string::npos, c.timeout_s > 0)
      << err;
  EXPECT_EQ(driver_.PendingConfigurationCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DelayTest,
    ::testing::Values(
        DelayCase{"Delay", 6, 0.25f, 0.0f, 250, 5000,
                  "New delay between updates for Face Driver is 250 ms.\n"},
        DelayCase{"Timeout", 7, 0.0f, 1.5f, 1000, 1500,
                  "New timeout after last ping for Face Driver 1500 ms.\n"},
        DelayCase{"NegativeKeepsBoth", 8, -2.0f, -1.0f, 1000, 5000, ""},
        // 0.0015 s truncates to 1 ms.
        DelayCase{"Truncated", 9, 0.0015f, 0.0f, 1, 5000,
                  "New delay between updates for Face Driver is 1 ms.\n"}),
    [](const ::testing::TestParamInfo<DelayCase>& info) {
      return std::string(info.param.name);
    });

TEST(KeepAliveTest, AliveFollowsPingsAndUpdatesFollowAlive) {
  StderrCapture capture;
  CountingDriver driver(/*mandatory=*/true);
  const int base = PortBlock(10);
  ASSERT_TRUE(driver.Init(base, "127.0.0.1"));
  zmq::context_t context(1);
  DriverClient client(context, "127.0.0.1", base);

  // Pinged but not configured: no update cycle runs.
  ASSERT_TRUE(client.Ping(kWait));
  EXPECT_TRUE(driver.alive());
  DriverConfig config;
  config.set_delay_between_updates(0.02f);
  config.set_timeout_after_last_ping(0.4f);
  ASSERT_TRUE(client.Ping(kWait));
  EXPECT_EQ(driver.updates, 0);

  ASSERT_TRUE(client.Push(config, kWait));
  ASSERT_TRUE(PollUntil([&] { return driver.configured(); }));
  // Keep pinging until the update thread has run a few cycles.
  ASSERT_TRUE(PollUntil([&] {
    client.Ping(kWait);
    return driver.updates >= 3;
  }));

  // Pings stop: alive turns false once the time-out passes, and the update
  // cycles stop with it.
  ASSERT_TRUE(PollUntil([&] { return !driver.alive(); }));
  const int after_death = driver.updates;
  ASSERT_TRUE(client.Ping(kWait));  // one ping revives it...
  ASSERT_TRUE(PollUntil([&] { return !driver.alive(); }));  // ...briefly
  const int settled = driver.updates;
  EXPECT_FALSE(
      PollUntil([&] { return driver.updates > settled; }, milliseconds(200)));
  EXPECT_GE(settled, after_death);
}

TEST(UpdateTest, FailedUpdateAndRejectedConfigurationReportErrors) {
  StderrCapture capture;
  CountingDriver driver(/*mandatory=*/false);
  driver.update_result = false;
  driver.accept = false;
  const int base = PortBlock(11);
  ASSERT_TRUE(driver.Init(base, "127.0.0.1"));
  zmq::context_t context(1);
  DriverClient client(context, "127.0.0.1", base);
  Subscriber status(context, client.StatusEndpoint(), kWait);
  ASSERT_TRUE(status.connected());

  // Not mandatory: pings alone start update cycles, each failing.
  ASSERT_TRUE(client.Ping(kWait));
  auto first = ReceiveStatus(status, kWait);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->type(), Status::STATUS_ERROR);
  EXPECT_EQ(first->message(), "Could not send update for Counting driver.");

  // A rejected configuration applies neither its delay nor its time-out.
  DriverConfig config;
  config.set_delay_between_updates(3.0f);
  config.set_timeout_after_last_ping(9.0f);
  ASSERT_TRUE(client.Push(config, kWait));
  bool rejected = PollUntil([&] {
    auto s = ReceiveStatus(status, milliseconds(50));
    return s && s->message() ==
                    "Invalid specific configuration for Counting driver. "
                    "Could not parse protobuf.";
  });
  EXPECT_TRUE(rejected);
  EXPECT_EQ(driver.delay_between_updates_ms(), 1000);
  EXPECT_EQ(driver.timeout_after_last_ping_ms(), 5000);
  EXPECT_FALSE(driver.configured());
  EXPECT_TRUE(capture.Contains("Specific config for Counting failed."));
}

TEST(InitTest, PortInUseFailsWithoutThrowing) {
  Driver first{FaceDriver::Kind()};
  const int base = PortBlock(12);
  ASSERT_TRUE(first.Init(base, "127.0.0.1"));
  for (int offset : {0, 1, 2, 3}) {
    // A block shifted down by offset overlaps the first one.
    Driver second{FaceDriver::Kind()};
    EXPECT_FALSE(second.Init(base - offset, "127.0.0.1")) << offset;
  }
  // The failed attempts released what they had bound.
  Driver third{FaceDriver::Kind()};
  EXPECT_TRUE(third.Init(base + 4, "127.0.0.1"));
}

TEST(FuzzTest, RandomAndMutatedMessagesNeverStopTheDriver) {
  StderrCapture capture;
  Driver driver{FaceDriver::Kind()};
  const int base = PortBlock(13);
  ASSERT_TRUE(driver.Init(base, "127.0.0.1"));
  zmq::context_t context(1);
  DriverClient client(context, "127.0.0.1", base);

  DriverConfig valid;
  valid.set_uuid("0f8fad5b-d9cb-469f-a165-70867728950e");
  valid.set_delay_between_updates(2.0f);
  auto* eye = valid.mutable_kestu_eye_config();
  eye->mutable_camera_config()->set_source("video.mp4");
  auto& props = *eye->mutable_config()->mutable_properties();
  props["max_fps"].set_integer_value(10);
  props["labels"].mutable_array_value()->add_values()->set_string_value("a");
  props["size"].mutable_size_value()->set_width(640);
  (*eye->add_models()->mutable_properties())["content"].mutable_entity_value();
  const std::string seed = valid.SerializeAsString();

  std::mt19937 rng(1234);
  for (int i = 0; i < 3000; ++i) {
    std::string bytes;
    if (i % 2 == 0) {
      bytes.resize(rng() % 300);
      for (char& c : bytes) c = static_cast<char>(rng());
    } else {
      bytes = seed;
      const int flips = 1 + rng() % 4;
      for (int f = 0; f < flips; ++f) {
        bytes[rng() % bytes.size()] = static_cast<char>(rng());
      }
      if (rng() % 3 == 0) bytes.resize(rng() % bytes.size());
    }
    ASSERT_TRUE(client.Push(bytes, kWait));
  }
  ASSERT_TRUE(client.Ping(kWait));

  // A valid configuration after the storm is accepted and applied. The
  // storm may have filled the pending-configuration queue, which refuses
  // messages until the pinged driver has worked through it: the client
  // sends again until its message is taken.
  DriverConfig final_config;
  final_config.set_delay_between_updates(0.5f);
  final_config.set_uuid("final");
  EXPECT_TRUE(PollUntil(
      [&] {
        if (driver.configured() && driver.delay_between_updates_ms() == 500) {
          return true;
        }
        client.Ping(kWait);
        client.Push(final_config, kWait);
        return false;
      },
      std::chrono::seconds(30), milliseconds(500)));
  EXPECT_TRUE(client.Ping(kWait));
}

TEST_F(FaceChannelTest, LogForwardingMapsSeveritiesAndRegistersOnce) {
  ASSERT_NO_FATAL_FAILURE(StartDriver(14));
  WarmUp(*client_, *status_);
  driver_.SetLogForwarding(true);
  driver_.SetLogForwarding(true);  // registered once: one status per line
  auto next = [&] { return ReceiveStatus(*status_, kWait); };
  // The enabling line itself may be forwarded; skip everything until ours.
  const std::vector<std::pair<int, Status::MessageType>> cases = {
      {google::GLOG_WARNING, Status::STATUS_WARNING},
      {google::GLOG_INFO, Status::STATUS_INFO},
      {google::GLOG_ERROR, Status::STATUS_ERROR}};
  for (const auto& [severity, type] : cases) {
    const std::string text = "forwarded line " + std::to_string(severity);
    google::LogMessage(__FILE__, __LINE__, severity).stream() << text;
    std::optional<Status> status;
    do {
      status = next();
    } while (status && status->message() != text);
    ASSERT_TRUE(status.has_value()) << text;
    EXPECT_EQ(status->type(), type);
    EXPECT_EQ(status->uuid(), "");
    // No duplicate of the same line.
    auto extra = ReceiveStatus(*status_, milliseconds(100));
    EXPECT_FALSE(extra && extra->message() == text);
  }

  driver_.SetLogForwarding(false);
  bool saw_disabling = false;
  while (auto s = ReceiveStatus(*status_, milliseconds(300))) {
    saw_disabling |= s->message() == "Disabling log forwarding...";
  }
  EXPECT_TRUE(saw_disabling);
  LOG(WARNING) << "not forwarded";
  EXPECT_FALSE(ReceiveStatus(*status_, milliseconds(300)).has_value());
}

}  // namespace
}  // namespace vostek_kestu
