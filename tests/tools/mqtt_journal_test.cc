// kestu-mqtt with --state_file following a driver's event journal, against
// a mosquitto broker of the test's own and a fake process of real ZeroMQ
// sockets with a journal port (FakeJournal):
//  - a first start (its state file damaged: named in an ERROR, set aside)
//    takes the journal's totals as the retained counts and publishes only
//    what comes after; live exits add to them;
//  - stopped (SIGTERM), killed (SIGKILL), or away while the journal aged
//    results out, a restarted kestu-mqtt publishes exactly the events it
//    missed, each once, and its counts carry on;
//  - across a broker outage, and a stop or kill during one, kestu-mqtt
//    sends each event once and every one arrives;
//  - killed between sending an event and keeping its acknowledgement, it
//    sends the result again as the same message.
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "kestu_tools.pb.h"
#include "tests/tools/fake_journal.h"
#include "tests/tools/mqtt_test_util.h"
#include "tests/tools/web_test_util.h"
#include "tools/mqtt/state_file.h"

namespace kestu_tools {
namespace {

using kestu_testing::PollUntil;
using kestu_testing::PortBlock;
using vision_v1::ZONE_DIRECTION_NOT_DEFINED;

// Results with a mix of exits in two zones, an event that counts nothing,
// and none.
std::vector<std::vector<FakeEvent>> Results(int n) {
  const FakeEvent in{"Walkway", vision_v1::FORWARD};
  const std::vector<std::vector<FakeEvent>> kinds = {
      {in},
      {},
      {{"Gate", vision_v1::FORWARD},
       {"Gate", ZONE_DIRECTION_NOT_DEFINED},
       {"Walkway", vision_v1::BACKWARD}},
      {in, in}};
  std::vector<std::vector<FakeEvent>> results;
  for (int i = 0; i < n; ++i) results.push_back(kinds[i % kinds.size()]);
  return results;
}

// A broker, a fake process, a subscriber and kestu-mqtt's flags on the
// ports of one block, with what the subscriber should see.
class Site {
 public:
  Site(int block, std::vector<std::string> broker_lines = {},
       bool persistent = false, const std::string& session = "")
      : base_(PortBlock(block)),
        folder_(Folder()),
        broker_(base_ + 16, std::move(broker_lines), persistent),
        started_(broker_.Start()),
        fake_(base_),
        watcher_(base_ + 16, "kestu/#", session),
        events_("kestu/" + Address(base_) + "/crowd/event") {}

  bool Ready() { return started_ && watcher_.Subscribed(kWait); }
  std::unique_ptr<MqttProcess> Start() const {
    auto mqtt = std::make_unique<MqttProcess>(std::vector<std::string>{
        "--broker=" + broker_.address(), "--process", Address(base_),
        "--client_id=" + ClientId(), "--state_file=" + state_file(),
        "--metrics_port=" + std::to_string(base_ + 17),
        "--reconnect_min_seconds=1", "--reconnect_max_seconds=1"});
    EXPECT_TRUE(mqtt->Started()) << mqtt->child().Stderr();
    return mqtt;
  }
  // Until kestu-mqtt follows the journal, results without events.
  bool Following(MqttProcess& mqtt) {
    return PollUntil(
        [&] {
          fake_.Publish();
          return mqtt.child().Stderr().find("follows journal") !=
                 std::string::npos;
        },
        kWait, milliseconds(100));
  }
  // Journals results; `published`: their events are to be seen.
  void Publish(const std::vector<std::vector<FakeEvent>>& results,
               bool published = true) {
    for (const auto& result : results) {
      const uint64_t sequence = fake_.Publish(result);
      for (const FakeEvent& e : result) {
        if (published) expected_.push_back(sequence);
        if (e.direction == ZONE_DIRECTION_NOT_DEFINED) continue;
        ++counts_[e.zone + "/" + vision_v1::ZoneDirection_Name(e.direction)];
      }
    }
  }
  // Results whose exits kestu-mqtt never gets.
  void Uncount(const std::vector<std::vector<FakeEvent>>& results) {
    for (const auto& result : results) {
      for (const FakeEvent& e : result) {
        if (e.direction == ZONE_DIRECTION_NOT_DEFINED) continue;
        --counts_[e.zone + "/" + vision_v1::ZoneDirection_Name(e.direction)];
      }
    }
  }
  // The payloads of the events of result `sequence` received, in order.
  std::vector<std::string> PayloadsOf(uint64_t sequence) {
    std::vector<std::string> payloads;
    for (const MqttMessage& m : watcher_.On(events_)) {
      kestu::tools::MqttEvent event;
      if (google::protobuf::util::JsonStringToMessage(m.payload, &event).ok() &&
          event.sequence() == sequence) {
        payloads.push_back(m.payload);
      }
    }
    return payloads;
  }
  // The result numbers of the events received, in order.
  std::vector<uint64_t> Received() {
    std::vector<uint64_t> sequences;
    for (const MqttMessage& m : watcher_.On(events_)) {
      kestu::tools::MqttEvent event;
      EXPECT_TRUE(
          google::protobuf::util::JsonStringToMessage(m.payload, &event).ok())
          << m.payload;
      sequences.push_back(event.sequence());
    }
    return sequences;
  }
  bool ReceivedAll() {
    return PollUntil([&] { return Received() == expected_; }, kWait);
  }
  // The retained counts hold what was published (in `subscriber`).
  bool CountsRight(MqttSubscriber* subscriber = nullptr) {
    MqttSubscriber& s = subscriber ? *subscriber : watcher_;
    const std::string prefix = "kestu/" + Address(base_) + "/crowd/zone/";
    return PollUntil(
        [&] {
          for (const auto& [zone_direction, count] : counts_) {
            auto last = s.Last(prefix + zone_direction + "/count");
            if (!last || last->payload != std::to_string(count)) return false;
          }
          return true;
        },
        kWait);
  }
  // The results kept in the state file as sent after the crowd driver's
  // position.
  std::vector<uint64_t> KeptSent() const {
    StateFile::State state;
    std::string error;
    std::vector<uint64_t> sent;
    if (!StateFile(state_file()).Load(&state, &error)) return sent;
    for (const auto& position : state.positions()) {
      if (position.process() != Address(base_)) continue;
      for (const auto& result : position.sent()) {
        sent.push_back(result.sequence());
      }
    }
    return sent;
  }
  // The crowd driver's kept position in the state file (0: none).
  uint64_t Kept() const {
    StateFile::State state;
    std::string error;
    if (!StateFile(state_file()).Load(&state, &error)) return 0;
    for (const auto& position : state.positions()) {
      if (position.process() == Address(base_)) return position.sequence();
    }
    return 0;
  }
  bool AllKept() {
    return PollUntil([&] { return Kept() == fake_.last_sequence(); }, kWait);
  }
  // Waits until a sample of kestu-mqtt's metrics has the value.
  bool MetricIs(const std::string& name, int64_t value) {
    httplib::Client client("127.0.0.1", base_ + 17);
    const std::string sample =
        name + "{process=\"" + Address(base_) + "\"} " + std::to_string(value);
    return PollUntil(
        [&] {
          return (Get(client, "/metrics") + "\n").find(sample + "\n") !=
                 std::string::npos;
        },
        kWait);
  }
  std::string ClientId() const {
    return "kestu-mqtt-journal-" + std::to_string(base_);
  }

  std::string state_file() const { return folder_ + "state"; }
  const std::string& folder() const { return folder_; }
  Broker& broker() { return broker_; }
  FakeJournal& fake() { return fake_; }
  const std::string& events() const { return events_; }
  const std::vector<uint64_t>& expected() const { return expected_; }

 private:
  static std::string Folder() {
    std::string pattern = ::testing::TempDir() + "kestu-mqtt-state-XXXXXX";
    return mkdtemp(pattern.data()) != nullptr ? pattern + "/" : "/tmp/";
  }

  const int base_;
  const std::string folder_;
  Broker broker_;
  const bool started_;
  FakeJournal fake_;
  MqttSubscriber watcher_;
  const std::string events_;
  std::vector<uint64_t> expected_;
  std::map<std::string, int64_t> counts_;  // "zone/DIRECTION"
};

TEST(MqttJournalTest,
     FirstStartTakesTheTotalsAndRestartsPublishWhatTheyMissed) {
  Site site(551);
  ASSERT_TRUE(site.Ready());
  // Before kestu-mqtt's first start: in the totals, not published.
  site.Publish(Results(9), /*published=*/false);
  // A state file cut off in the middle of a write is as none.
  const std::string damaged = R"({"positions":[{"process":"127.0.0.1:1","dr)";
  std::ofstream(site.state_file()) << damaged;

  auto mqtt = site.Start();
  EXPECT_TRUE(mqtt->child().WaitForStderr("ERROR: the state file " +
                                          site.state_file() + " is damaged"));
  EXPECT_EQ(kestu_testing::ReadFile(site.state_file() + ".damaged"), damaged);
  ASSERT_TRUE(site.Following(*mqtt)) << mqtt->child().Stderr();
  ASSERT_TRUE(site.CountsRight()) << mqtt->child().Stderr();
  EXPECT_TRUE(site.Received().empty());
  // Live exits add to the journal's totals.
  site.Publish(Results(8));
  ASSERT_TRUE(site.ReceivedAll()) << mqtt->child().Stderr();
  ASSERT_TRUE(site.CountsRight());

  struct Away {
    const char* name;
    int signal;
    int results;   // published while kestu-mqtt is away
    int aged_out;  // of them, no longer in the journal when it is back
  };
  // 60 results take the catch-up two pages of the fake's 50.
  for (const Away& away :
       {Away{"stopped", SIGTERM, 60, 0}, Away{"killed", SIGKILL, 7, 0},
        Away{"aged out", SIGKILL, 12, 5}}) {
    SCOPED_TRACE(away.name);
    // Everything is acknowledged and kept before it goes.
    ASSERT_TRUE(site.AllKept()) << site.Kept();
    ASSERT_TRUE(mqtt->child().Signal(away.signal));
    mqtt->child().Wait(kWait);
    const uint64_t before = site.fake().last_sequence();
    const auto missed = Results(away.results);
    const std::vector<std::vector<FakeEvent>> aged(
        missed.begin(), missed.begin() + away.aged_out);
    site.Publish(aged, /*published=*/false);
    site.Uncount(aged);
    site.Publish(std::vector<std::vector<FakeEvent>>(
        missed.begin() + away.aged_out, missed.end()));
    site.fake().AgeOut(before + away.aged_out);

    mqtt = site.Start();
    ASSERT_TRUE(site.AllKept()) << mqtt->child().Stderr();
    EXPECT_TRUE(site.ReceivedAll()) << mqtt->child().Stderr();
    EXPECT_TRUE(site.CountsRight());
    if (away.aged_out > 0) {
      EXPECT_TRUE(mqtt->child().WaitForStderr(
          "no longer holds results " + std::to_string(before + 1) + " to " +
          std::to_string(before + away.aged_out)));
      EXPECT_TRUE(
          site.MetricIs("kestu_mqtt_journal_gap_results_total", away.aged_out));
    }
  }
  // A new subscriber gets the counts retained.
  MqttSubscriber late(site.broker().port(), "kestu/#");
  EXPECT_TRUE(site.CountsRight(&late));
}

// Whether a connection to the broker's port has bytes the broker has not
// read (/proc/net/tcp: "local rem st tx_queue:rx_queue ...", in hex).
bool UnreadAt(int port) {
  std::istringstream table(kestu_testing::ReadFile("/proc/net/tcp"));
  char local[16];
  std::snprintf(local, sizeof(local), ":%04X", port);
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state, queues;
    fields >> slot >> address >> remote >> state >> queues;
    const size_t colon = queues.find(':');
    if (address.size() < 5 || colon == std::string::npos) continue;
    if (address.substr(address.size() - 5) == local && state == "01" &&
        std::stoul(queues.substr(colon + 1), nullptr, 16) > 0) {
      return true;
    }
  }
  return false;
}

// A kestu-mqtt killed after its event reached the broker and before the
// broker's acknowledgement came back sends the result again after its
// restart, as the very same message: the subscriber holds two equal
// payloads, which it takes as one (the broker re-delivers the same way).
TEST(MqttJournalTest, AResultSentAgainAfterAKillIsTheSameMessage) {
  Site site(559);
  ASSERT_TRUE(site.Ready());
  auto mqtt = site.Start();
  ASSERT_TRUE(site.Following(*mqtt)) << mqtt->child().Stderr();
  site.Publish(Results(4));
  ASSERT_TRUE(site.ReceivedAll()) << mqtt->child().Stderr();
  ASSERT_TRUE(site.AllKept());

  // An event that counts nothing, so that it is the only message.
  ASSERT_TRUE(site.broker().Pause());
  site.Publish({{{"Gate", ZONE_DIRECTION_NOT_DEFINED}}});
  const uint64_t sent = site.fake().last_sequence();
  EXPECT_TRUE(PollUntil([&] {
    return site.KeptSent() == std::vector<uint64_t>{sent} &&
           UnreadAt(site.broker().port());
  })) << mqtt->child().Stderr();
  ASSERT_TRUE(mqtt->child().Signal(SIGKILL));
  mqtt->child().Wait(kWait);
  ASSERT_TRUE(site.broker().Resume());
  ASSERT_TRUE(PollUntil([&] { return site.PayloadsOf(sent).size() == 1; }));
  EXPECT_EQ(site.Kept(), sent - 1);

  mqtt = site.Start();
  ASSERT_TRUE(site.AllKept()) << mqtt->child().Stderr();
  ASSERT_TRUE(PollUntil([&] { return site.PayloadsOf(sent).size() == 2; }))
      << mqtt->child().Stderr();
  const auto payloads = site.PayloadsOf(sent);
  EXPECT_EQ(payloads[0], payloads[1]);
  // Passed by the position, the receipt goes.
  EXPECT_TRUE(PollUntil([&] { return site.KeptSent().empty(); }));
}

// The event PUBLISHes from kestu-mqtt in the broker's log ("log_type all").
int PublishesLogged(Site& site, const std::string& log) {
  int count = 0;
  std::istringstream lines(kestu_testing::ReadFile(log));
  for (std::string line; std::getline(lines, line);) {
    if (line.find("Received PUBLISH from " + site.ClientId() + " ") !=
            std::string::npos &&
        line.find("'" + site.events() + "'") != std::string::npos) {
      ++count;
    }
  }
  return count;
}

TEST(MqttJournalTest, EveryEventIsSentOnceAcrossBrokerOutages) {
  const std::string log = ::testing::TempDir() + "kestu-journal-broker.log";
  std::remove(log.c_str());
  // A subscriber's session that outlives the broker's restarts.
  Site site(558, {"log_dest file " + log, "log_type all"},
            /*persistent=*/true, "kestu-journal-watcher");
  ASSERT_TRUE(site.Ready());
  auto mqtt = site.Start();
  ASSERT_TRUE(site.Following(*mqtt)) << mqtt->child().Stderr();
  site.Publish(Results(20));
  ASSERT_TRUE(site.ReceivedAll());

  // While the broker is away: the results queued by kestu-mqtt (all of
  // them, before it is back), the position kept where it was; then kestu-
  // mqtt runs on, or is stopped or killed and started after the broker.
  for (const int signal : {0, SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal);
    ASSERT_TRUE(site.AllKept());
    const size_t before = site.expected().size();
    const uint64_t kept = site.Kept();
    site.broker().Stop();
    ASSERT_TRUE(site.MetricIs("kestu_mqtt_broker_connected", 0));
    site.Publish(Results(signal == 0 ? 150 : 30));
    ASSERT_TRUE(
        site.MetricIs("kestu_mqtt_messages_queued",
                      static_cast<int64_t>(site.expected().size() - before)));
    EXPECT_EQ(site.Kept(), kept);
    if (signal != 0) {
      ASSERT_TRUE(mqtt->child().Signal(signal));
      mqtt->child().Wait(kWait);
      EXPECT_EQ(site.Kept(), kept);
    }
    ASSERT_TRUE(site.broker().Start());
    if (signal != 0) mqtt = site.Start();
    site.Publish(Results(20));
    ASSERT_TRUE(site.AllKept()) << mqtt->child().Stderr();
    EXPECT_TRUE(site.CountsRight()) << mqtt->child().Stderr();
    // Each event sent once, and every one arrived. (This broker sends a
    // session that outlives its restart the last messages it delivered
    // again, so the subscriber may see some twice.)
    EXPECT_EQ(PublishesLogged(site, log),
              static_cast<int>(site.expected().size()));
    EXPECT_TRUE(PollUntil([&] {
      size_t seen = 0;
      for (uint64_t sequence : site.Received()) {
        if (seen < site.expected().size() &&
            sequence == site.expected()[seen]) {
          ++seen;
        }
      }
      return seen == site.expected().size();
    }));
    EXPECT_TRUE(site.MetricIs("kestu_mqtt_messages_dropped_total", 0));
  }
}

}  // namespace
}  // namespace kestu_tools
