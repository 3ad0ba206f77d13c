// The channels of a driver given handlers (as a Driver owns them) over real
// sockets on 127.0.0.1: what is refused is answered and never handed on,
// what is accepted reaches the accept handler, and the update handler runs
// once a configuration is accepted.
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

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
using kestu_tools::ReceiveStatus;
using kestu_tools::Subscriber;
using std::chrono::milliseconds;

constexpr milliseconds kWait(5000);

// What the handlers saw, from the channel threads.
struct Seen {
  std::mutex mutex;
  std::vector<std::string> accepted;  // uuids, in order
  std::atomic<int> updates{0};

  std::vector<std::string> Accepted() {
    std::lock_guard<std::mutex> lock(mutex);
    return accepted;
  }
};

KestuBase::Handlers HandlersFor(Seen* seen, bool accept) {
  KestuBase::Handlers handlers;
  handlers.refusal = [](const DriverConfig& config) -> std::string {
    return config.uuid().rfind("busy", 0) == 0 ? "Configuration queue is full"
                                               : "";
  };
  handlers.accept = [seen, accept](const DriverConfig& config) {
    std::lock_guard<std::mutex> lock(seen->mutex);
    seen->accepted.push_back(config.uuid());
    return accept;
  };
  handlers.update = [seen] {
    ++seen->updates;
    return true;
  };
  return handlers;
}

DriverConfig Message(const std::string& uuid) {
  DriverConfig config;
  config.set_uuid(uuid);
  config.set_delay_between_updates(0.02f);
  return config;
}

// The first status with the uuid, skipping others.
std::optional<Status> StatusFor(Subscriber& status, const std::string& uuid) {
  std::optional<Status> found;
  PollUntil([&] {
    auto s = ReceiveStatus(status, milliseconds(50));
    if (s && s->uuid() == uuid) found = s;
    return found.has_value();
  });
  return found;
}

struct HandlerCase {
  const char* name;
  bool accept;  // what the accept handler answers
  int port_index;
};

class ChannelHandlersTest : public ::testing::TestWithParam<HandlerCase> {};

TEST_P(ChannelHandlersTest, RefusedMessagesAreAnsweredAndOthersHandedOn) {
  const HandlerCase& c = GetParam();
  StderrCapture capture;
  Seen seen;
  // Destroyed without StopChannels: with handlers the channels stop
  // themselves.
  KestuBase channels("Handled", HandlersFor(&seen, c.accept));
  channels.set_mandatory_configuration(true);
  const int base = PortBlock(c.port_index);
  ASSERT_TRUE(channels.Init(base, "127.0.0.1"));
  zmq::context_t context(1);
  DriverClient client(context, "127.0.0.1", base);
  Subscriber status(context, client.StatusEndpoint(), kWait);
  ASSERT_TRUE(status.connected());
  ASSERT_TRUE(PollUntil([&] {
    client.Push(std::string("\xff", 1), kWait);
    return ReceiveStatus(status, milliseconds(50)).has_value();
  }));

  ASSERT_TRUE(client.Push(Message("busy-1"), kWait));
  const std::optional<Status> refused = StatusFor(status, "busy-1");
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->type(), Status::STATUS_ERROR);
  EXPECT_EQ(refused->message(), "Configuration queue is full");
  EXPECT_FALSE(channels.configured());
  // A refused message's delay does not apply.
  EXPECT_EQ(channels.delay_between_updates_ms(), 1000);

  ASSERT_TRUE(client.Push(Message("taken-2"), kWait));
  ASSERT_TRUE(PollUntil([&] { return !seen.Accepted().empty(); }));
  EXPECT_EQ(seen.Accepted(), std::vector<std::string>{"taken-2"});
  ASSERT_TRUE(PollUntil([&] { return channels.configured() == c.accept; }));

  // Update cycles run only once a configuration was accepted (and pings
  // come).
  if (c.accept) {
    EXPECT_TRUE(PollUntil([&] {
      client.Ping(kWait);
      return seen.updates >= 3;
    }));
  } else {
    ASSERT_TRUE(client.Ping(kWait));
    EXPECT_FALSE(
        PollUntil([&] { return seen.updates > 0; }, milliseconds(200)));
  }
}

INSTANTIATE_TEST_SUITE_P(Accept, ChannelHandlersTest,
                         ::testing::Values(HandlerCase{"Accepted", true, 220},
                                           HandlerCase{"Rejected", false, 221}),
                         [](const ::testing::TestParamInfo<HandlerCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace vostek_kestu
