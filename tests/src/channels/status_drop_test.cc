// The status port with a subscriber that does not read: every status a
// driver sends is either received or counted as dropped (in its driver
// information and in a WARNING), never lost unseen; the data port still
// drops silently. Real sockets on 127.0.0.1.
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <string>
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
using kestu_tools::DriverClient;
using kestu_tools::Subscriber;
using std::chrono::milliseconds;

constexpr milliseconds kWait(5000);
// Statuses of a burst, and the padding of each: large enough that the
// sockets' and the kernel's buffers hold a small part of a burst.
// WARNINGs about drops come at most once per kLogInterval.
constexpr int kBurst = 20000;
constexpr size_t kPadding = 2000;
constexpr char kBurstPrefix[] = "burst ";
constexpr milliseconds kLogInterval(300);

// Never pinged, so no update cycle sends a status of its own.
class QuietDriver : public KestuBase {
 public:
  QuietDriver() : KestuBase("Quiet") {}
  ~QuietDriver() override { StopChannels(); }
};

// Collects WARNING lines of the logging library, with when they came.
class WarningSink : public google::LogSink {
 public:
  struct Line {
    std::string text;
    std::chrono::steady_clock::time_point time;
  };
  WarningSink() { google::AddLogSink(this); }
  ~WarningSink() override { google::RemoveLogSink(this); }
  using google::LogSink::send;
  void send(google::LogSeverity severity, const char*, const char*, int,
            const struct ::tm*, const char* message, size_t length) override {
    if (severity != google::GLOG_WARNING) return;
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(
        {std::string(message, length), std::chrono::steady_clock::now()});
  }
  std::vector<Line> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;  // guards lines_
  std::vector<Line> lines_;
};

std::string BurstText(int i) {
  return kBurstPrefix + std::to_string(i) + " " + std::string(kPadding, '.');
}

// Adds the number of a burst message to `received` (one received twice
// counts once); ignores other texts.
void CollectBurst(const std::string& text, std::set<int>* received) {
  if (text.rfind(kBurstPrefix, 0) == 0) {
    received->insert(std::stoi(text.substr(sizeof(kBurstPrefix) - 1)));
  }
}

// Sends `marker` until the subscriber receives it (the subscription is in
// place, or every earlier message has arrived); the numbers of the burst
// messages received before it go to `received`.
bool SendUntilReceived(const std::function<void()>& send_marker,
                       const std::function<std::optional<std::string>()>& next,
                       const std::string& marker, std::set<int>* received) {
  return PollUntil(
      [&] {
        send_marker();
        while (std::optional<std::string> text = next()) {
          if (*text == marker) return true;
          CollectBurst(*text, received);
        }
        return false;
      },
      kWait, milliseconds(20));
}

struct DropCase {
  const char* name;
  int port_index;
  bool reads_along;  // the subscriber reads each batch before the next
};

void PrintTo(const DropCase& c, std::ostream* os) { *os << c.name; }

class StatusDropTest : public ::testing::TestWithParam<DropCase> {};

TEST_P(StatusDropTest, EveryStatusIsReceivedOrCounted) {
  const DropCase& c = GetParam();
  const int base = PortBlock(c.port_index);
  WarningSink warnings;
  QuietDriver driver;
  driver.set_dropped_status_log_interval(kLogInterval);
  ASSERT_TRUE(driver.Init(base, "127.0.0.1"));
  zmq::context_t context(1);
  DriverClient client(context, "127.0.0.1", base);
  Subscriber status(context, client.StatusEndpoint(), kWait);
  ASSERT_TRUE(status.connected());
  auto next = [&]() -> std::optional<std::string> {
    auto s = kestu_tools::ReceiveStatus(status, milliseconds(0));
    if (!s) return std::nullopt;
    return s->message();
  };
  auto send_status = [&](const std::string& text) {
    driver.SendStatus(Status::STATUS_INFO, "", text);
  };
  std::set<int> received;
  ASSERT_TRUE(SendUntilReceived([&] { send_status("ready"); }, next, "ready",
                                &received));
  ASSERT_EQ(driver.Info().dropped_statuses(), 0);

  int sent = 0;
  auto send_burst = [&](int count) {
    for (int i = 0; i < count; ++i) send_status(BurstText(sent++));
  };
  if (c.reads_along) {
    // Batches well below the high-water mark, each read whole before the
    // next goes out.
    constexpr int kBatch = 100;
    while (sent < kBurst) {
      send_burst(kBatch);
      ASSERT_TRUE(PollUntil(
          [&] {
            while (auto text = next()) CollectBurst(*text, &received);
            return received.size() == static_cast<size_t>(sent);
          },
          kWait))
          << sent;
    }
  } else {
    // The burst goes on until the second WARNING: the first is written at
    // the first drop, the second once the interval has passed.
    send_burst(kBurst);
    ASSERT_TRUE(PollUntil(
        [&] {
          send_burst(100);
          return warnings.lines().size() >= 2;
        },
        kWait));
  }
  const int64_t dropped = driver.Info().dropped_statuses();

  const std::vector<WarningSink::Line> lines = warnings.lines();
  if (c.reads_along) {
    EXPECT_EQ(dropped, 0);
    EXPECT_TRUE(lines.empty()) << lines.front().text;
  } else {
    EXPECT_GT(dropped, 0);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].text,
              "1 status could not be sent on the status port of Quiet (a "
              "subscriber is not reading); 1 dropped so far.");
    // The second one counts every drop since the first.
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        lines[1].text, m,
        std::regex("(\\d+) statuses could not be sent on the status port of "
                   "Quiet \\(a subscriber is not reading\\); (\\d+) dropped "
                   "so far\\.")))
        << lines[1].text;
    EXPECT_EQ(std::stoll(m[1]), std::stoll(m[2]) - 1);
    EXPECT_LE(std::stoll(m[2]), dropped);
    // Not one line per drop: the interval apart (less the time the first
    // line took to be written, a few milliseconds).
    EXPECT_GE(lines[1].time - lines[0].time, kLogInterval - milliseconds(50));
  }

  // Everything sent before the end marker arrives before it.
  ASSERT_TRUE(
      SendUntilReceived([&] { send_status("end"); }, next, "end", &received));
  EXPECT_EQ(static_cast<int64_t>(received.size()) + dropped, sent);
}

INSTANTIATE_TEST_SUITE_P(Subscribers, StatusDropTest,
                         ::testing::Values(DropCase{"NeverReads", 576, false},
                                           DropCase{"ReadsAlong", 577, true}),
                         [](const ::testing::TestParamInfo<DropCase>& info) {
                           return std::string(info.param.name);
                         });

// The data port drops silently, as before: sends to a subscriber that does
// not read neither wait nor fail, and count no dropped status.
TEST(DataDropTest, DataPortStillDropsSilently) {
  const int base = PortBlock(578);
  QuietDriver driver;
  ASSERT_TRUE(driver.Init(base, "127.0.0.1"));
  zmq::context_t context(1);
  DriverClient client(context, "127.0.0.1", base);
  Subscriber data(context, client.DataEndpoint(), kWait);
  ASSERT_TRUE(data.connected());
  auto next = [&] { return data.Receive(milliseconds(0)); };
  std::set<int> received;
  ASSERT_TRUE(SendUntilReceived([&] { driver.SendData("ready"); }, next,
                                "ready", &received));
  int refused = 0;
  for (int i = 0; i < kBurst; ++i) refused += !driver.SendData(BurstText(i));
  EXPECT_EQ(refused, 0);
  ASSERT_TRUE(SendUntilReceived([&] { driver.SendData("end"); }, next, "end",
                                &received));
  EXPECT_LT(received.size(), static_cast<size_t>(kBurst));
  EXPECT_EQ(driver.Info().dropped_statuses(), 0);
}

}  // namespace
}  // namespace vostek_kestu
