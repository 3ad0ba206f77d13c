// A site as shipped, while people are counted: a real RTSP camera, a
// mosquitto broker, and kestu-vision@entrance, kestu-web and kestu-mqtt
// started from their units' command lines. One after the other, kestu-web
// and kestu-mqtt are killed and started again, the broker is stopped, and
// kestu-vision is killed and started again with no client. Counting goes
// on by itself each time, and the history, the MQTT event topic and the
// journal each hold every published result once.
//
// The outages last KESTU_SITE_OUTAGE_SECONDS (10 here; scripts/site-soak
// sets 60 and runs the cycle for KESTU_SITE_SOAK_SECONDS), and the test
// prints a table of what was published, stored and sent on.
#include <signal.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "talvenrook/kestu/v1/journal.pb.h"
#include "tests/testing/journal_reader.h"
#include "tests/testing/rtsp_camera.h"
#include "tests/testing/site_units.h"
#include "tests/testing/test_util.h"
#include "tests/tools/mqtt_test_util.h"
#include "tools/driver_client.h"

namespace kestu_testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using VisionResult = ::talvenrook::vision::v1::VisionResult;

constexpr milliseconds kWait(30000);
// Counting resumes within this after each restart.
constexpr seconds kResume(15);
constexpr int kCrowdOffset = 9;
const std::string kSource = KESTU_SOURCE_DIR;

// A positive number from the environment, or `fallback`.
int EnvSeconds(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

// The numbers that reached one place, and how often each did.
struct Tally {
  std::map<uint64_t, int> times;
  size_t duplicated() const {
    size_t n = 0;
    for (const auto& [number, count] : times) n += count > 1;
    return n;
  }
  size_t missing_of(const std::set<uint64_t>& all) const {
    size_t n = 0;
    for (uint64_t number : all) n += times.count(number) == 0;
    return n;
  }
};

// The resident memory and open descriptors of a process.
struct Usage {
  int64_t rss_kib = 0;
  int fds = 0;
};
Usage UsageOf(const ChildProcess& process) {
  return {ResidentBytes(process.pid()) / 1024,
          OpenDescriptorCount(process.pid())};
}

class SiteOutageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = RtspCamera::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    // scripts/site-soak runs on a block of its own, so that ctest can run
    // beside it.
    base_ = PortBlock(EnvSeconds("KESTU_SITE_PORT_BLOCK", 344));
    folder_ = "/tmp/kestu-site-outage-" + std::to_string(base_);
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    camera_ = std::make_unique<RtspCamera>(
        base_ + 19, "/usr/share/doc/opencv-doc/examples/data/vtest.avi", 0);
    ASSERT_TRUE(camera_->Start()) << camera_->Output();
    broker_ = std::make_unique<kestu_tools::Broker>(
        base_ + 17, std::vector<std::string>{}, /*persistent=*/true);
    ASSERT_TRUE(broker_->Start()) << broker_->Stderr();
  }
  void TearDown() override {
    listening_ = false;
    if (listener_.joinable()) listener_.join();
    mqtt_.reset();
    web_.reset();
    vision_.reset();
    events_.reset();
    broker_.reset();
    camera_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  SiteUnit Unit(const std::string& file, const std::string& instance,
                std::map<std::string, std::vector<std::string>> flags) {
    SiteUnitOptions options = ShippedSiteOptions(folder_, instance);
    options.flags = std::move(flags);
    SiteUnit unit;
    std::string error;
    EXPECT_TRUE(ReadSiteUnit(SiteUnitPath(file), options, &unit, &error))
        << error;
    EXPECT_TRUE(MakeSiteUnitDirectories(unit));
    return unit;
  }
  static std::unique_ptr<ChildProcess> Run(const SiteUnit& unit) {
    return std::make_unique<ChildProcess>(
        unit.argv[0],
        std::vector<std::string>(unit.argv.begin() + 1, unit.argv.end()));
  }
  std::string Process() const { return "127.0.0.1:" + std::to_string(base_); }

  void StartVision() {
    vision_ = Run(Unit("kestu-vision@.service", "entrance",
                       {{"--bind_port", {std::to_string(base_)}},
                        {"--streaming_port", {std::to_string(base_ + 15)}},
                        {"--bind_scope", {"127.0.0.1"}}}));
    ASSERT_TRUE(PollUntil(
        [&] {
          return kestu_tools::QueryDriverInfo(context_, "127.0.0.1", base_,
                                              milliseconds(500))
              .has_value();
        },
        kWait))
        << vision_->Stderr();
  }
  void StartWeb() {
    const SiteUnit unit =
        Unit("kestu-web.service", "",
             {{"--process", {Process() + "/" + std::to_string(base_ + 15)}},
              {"--http_host", {"127.0.0.1"}},
              {"--http_port", {std::to_string(base_ + 16)}}});
    database_ = SiteFlag(unit.argv, "--database");
    web_ = Run(unit);
  }
  void StartMqtt() {
    mqtt_ = Run(Unit("kestu-mqtt.service", "",
                     {{"--process", {"entrance=" + Process()}},
                      {"--broker", {broker_->address()}},
                      {"--username", {}},
                      {"--password_file", {}},
                      {"--metrics_port", {std::to_string(base_ + 18)}}}));
  }

  // The installed live-camera sample, on the test's camera, with the
  // repository's models and a smaller input for two cores.
  kestu_tools::DriverConfig CameraSample() {
    std::ifstream in(kSource + "/samples/crowd_camera.textproto");
    std::stringstream text;
    text << in.rdbuf();
    std::string body = std::regex_replace(
        text.str(), std::regex("/usr/local/share/kestu/models/"),
        kSource + "/tests/data/");
    kestu_tools::DriverConfig config;
    EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(body, &config));
    auto* eye = config.mutable_kestu_eye_config();
    (*eye->mutable_config()->mutable_properties())["source"].set_string_value(
        camera_->url());
    for (auto& model : *eye->mutable_models()) {
      auto* size = (*(*model.mutable_properties())["content"]
                         .mutable_entity_value()
                         ->mutable_properties())["input_size"]
                       .mutable_size_value();
      size->set_width(320);
      size->set_height(320);
    }
    return config;
  }

  // As the README says: the sample sent once; the driver keeps it.
  void SendConfigurationOnce() {
    kestu_tools::DriverClient client(context_, "127.0.0.1",
                                     base_ + kCrowdOffset);
    ASSERT_TRUE(client.Ping(kWait));
    ASSERT_TRUE(client.Push(CameraSample(), kWait));
    ASSERT_TRUE(PollUntil(
        [&] {
          client.Ping(milliseconds(500));
          return !published().empty();
        },
        std::chrono::seconds(90), milliseconds(200)))
        << vision_->Stderr();
  }

  // A passive subscriber on the crowd driver's data port, for the whole
  // test: what was published, by number.
  void ListenToDataPort() {
    listening_ = true;
    listener_ = std::thread([this] {
      zmq::socket_t socket(context_, zmq::socket_type::sub);
      socket.set(zmq::sockopt::linger, 0);
      socket.set(zmq::sockopt::rcvtimeo, 100);
      socket.set(zmq::sockopt::subscribe, "");
      socket.connect(
          kestu_tools::Endpoint("127.0.0.1", base_ + kCrowdOffset + 3));
      while (listening_) {
        zmq::message_t message;
        if (!socket.recv(message, zmq::recv_flags::none)) continue;
        VisionResult result;
        if (!result.ParseFromArray(message.data(),
                                   static_cast<int>(message.size())) ||
            result.sequence() == 0) {
          continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        published_.times[result.sequence()]++;
      }
    });
    events_ = std::make_unique<kestu_tools::MqttSubscriber>(
        broker_->port(), "kestu/entrance/crowd/event", "kestu-site-outage");
    ASSERT_TRUE(events_->Subscribed(kWait));
  }
  std::set<uint64_t> published() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::set<uint64_t> numbers;
    for (const auto& [number, count] : published_.times) numbers.insert(number);
    return numbers;
  }
  uint64_t LastPublished() {
    const auto numbers = published();
    return numbers.empty() ? 0 : *numbers.rbegin();
  }
  // Counting goes on: a result numbered past `after` is published within
  // kResume.
  bool Resumes(uint64_t after) {
    return PollUntil([&] { return LastPublished() > after; }, kResume,
                     milliseconds(100));
  }

  // The crowd results in the history, by number.
  Tally Stored() {
    Tally tally;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(database_.c_str(), &db, SQLITE_OPEN_READONLY,
                        nullptr) != SQLITE_OK) {
      sqlite3_close(db);
      return tally;
    }
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT sequence FROM events WHERE driver = 'crowd' "
                       "AND sequence > 0 AND part = 0",
                       -1, &query, nullptr);
    while (query != nullptr && sqlite3_step(query) == SQLITE_ROW) {
      tally.times[static_cast<uint64_t>(sqlite3_column_int64(query, 0))]++;
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    return tally;
  }
  // The crowd events on MQTT, by number.
  Tally OnMqtt() {
    Tally tally;
    // The broker may deliver a message again after its own restart (QoS 1):
    // the same bytes. So does kestu-mqtt when it was killed between sending
    // a result and keeping the broker's acknowledgement (its state file
    // keeps the "received" time it sent). A second payload of one number is
    // a second message.
    static const std::regex number("\"sequence\":\\s*\"?([0-9]+)");
    std::map<uint64_t, std::set<std::string>> payloads;
    for (const auto& message : events_->Messages()) {
      std::smatch match;
      if (std::regex_search(message.payload, match, number)) {
        payloads[std::stoull(match[1])].insert(message.payload);
      }
    }
    for (const auto& [sequence, sent] : payloads) {
      tally.times[sequence] = static_cast<int>(sent.size());
    }
    return tally;
  }
  // Every number the crowd driver's journal holds.
  Tally Journalled() {
    Tally tally;
    for (const auto& result : ReadWholeJournal(context_, base_ + 13, "crowd")) {
      tally.times[result.sequence()]++;
    }
    return tally;
  }

  // kestu-mqtt says it is online (its retained availability).
  bool MqttOnline() {
    const std::string topic = "kestu/entrance/availability";
    kestu_tools::MqttSubscriber availability(broker_->port(), topic);
    return availability.Subscribed(kWait) &&
           availability.WaitFor(topic, "online", kWait);
  }

  // The journal's zone totals beside kestu-mqtt's retained counts of the
  // same zones; equal when the counts carried on through every restart.
  bool CountsCarriedOn(std::string* seen) {
    JournalRequest request;
    request.set_driver("crowd");
    request.set_position_only(true);
    const auto answer = AskJournal(context_, base_ + 13, request);
    if (!answer) return false;
    const JournalReply& position = *answer;
    kestu_tools::MqttSubscriber counts(broker_->port(),
                                       "kestu/entrance/crowd/zone/#");
    if (!counts.Subscribed(kWait)) return false;
    std::ostringstream text;
    bool equal = position.zone_total_size() > 0;
    for (const auto& total : position.zone_total()) {
      const std::string topic =
          "kestu/entrance/crowd/zone/" + total.zone_name() + "/" +
          ::talvenrook::vision::v1::ZoneDirection_Name(total.direction()) +
          "/count";
      const bool arrived =
          counts.WaitFor(topic, std::to_string(total.count()), seconds(2));
      const auto last = counts.Last(topic);
      text << topic << ": journal " << total.count() << ", mqtt "
           << (last ? last->payload : "none") << "\n";
      equal = equal && arrived;
    }
    *seen = text.str();
    return equal;
  }

  int base_ = 0;
  std::string folder_;
  std::string database_;
  zmq::context_t context_{1};
  std::unique_ptr<RtspCamera> camera_;
  std::unique_ptr<kestu_tools::Broker> broker_;
  std::unique_ptr<ChildProcess> vision_, web_, mqtt_;
  std::unique_ptr<kestu_tools::MqttSubscriber> events_;
  std::atomic<bool> listening_{false};
  std::thread listener_;
  std::mutex mutex_;  // guards published_
  Tally published_;
};

TEST_F(SiteOutageTest, EveryEventOnceEverywhereThroughKillsAndOutages) {
  const seconds outage(EnvSeconds("KESTU_SITE_OUTAGE_SECONDS", 10));
  const seconds soak(EnvSeconds("KESTU_SITE_SOAK_SECONDS", 1));
  // The consumers first, so that they hold every result from the first.
  ASSERT_NO_FATAL_FAILURE(StartVision());
  ASSERT_NO_FATAL_FAILURE(ListenToDataPort());
  StartWeb();
  StartMqtt();
  ASSERT_NO_FATAL_FAILURE(SendConfigurationOnce());
  const std::map<std::string, Usage> first = {
      {"kestu-vision", UsageOf(*vision_)},
      {"kestu-web", UsageOf(*web_)},
      {"kestu-mqtt", UsageOf(*mqtt_)}};
  const auto started = std::chrono::steady_clock::now();
  int cycles = 0;
  do {
    ++cycles;
    SCOPED_TRACE("cycle " + std::to_string(cycles));
    web_->Signal(SIGKILL);
    web_->Wait(kWait);
    std::this_thread::sleep_for(outage);  // the outage itself
    StartWeb();
    EXPECT_TRUE(Resumes(LastPublished()));

    mqtt_->Signal(SIGKILL);
    mqtt_->Wait(kWait);
    std::this_thread::sleep_for(outage);
    StartMqtt();
    EXPECT_TRUE(Resumes(LastPublished()));
    // The broker's outage comes once kestu-mqtt is connected again (its
    // will said "offline" when it was killed); one that cannot reach the
    // broker at start ends, and its unit starts it again later.
    EXPECT_TRUE(MqttOnline()) << mqtt_->Stderr();

    broker_->Stop();
    std::this_thread::sleep_for(outage / 2);
    ASSERT_TRUE(broker_->Start()) << broker_->Stderr();
    EXPECT_TRUE(Resumes(LastPublished()));

    const uint64_t before = LastPublished();
    vision_->Signal(SIGKILL);
    vision_->Wait(kWait);
    ASSERT_NO_FATAL_FAILURE(StartVision());
    EXPECT_TRUE(Resumes(before)) << vision_->Stderr();
  } while (std::chrono::steady_clock::now() - started < soak);

  // Everything published reaches the history and MQTT.
  const Tally journal = Journalled();
  std::set<uint64_t> all;
  for (const auto& [number, count] : journal.times) all.insert(number);
  EXPECT_TRUE(PollUntil(
      [&] {
        return Stored().missing_of(all) == 0 && OnMqtt().missing_of(all) == 0;
      },
      kWait, milliseconds(500)));
  const Tally stored = Stored();
  const Tally mqtt = OnMqtt();
  Tally seen;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    seen = published_;
  }
  // The journal holds 1..last without a hole, and every number published
  // up to then (counting goes on while the test reads it).
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(*all.begin(), 1u);
  EXPECT_EQ(*all.rbegin(), all.size());
  for (const auto& [number, count] : seen.times) {
    if (number <= *all.rbegin()) {
      EXPECT_EQ(all.count(number), 1u) << number << " is not in the journal";
    }
  }
  EXPECT_EQ(seen.duplicated(), 0u);

  // The table: numbers up to the journal's last when it was read.
  const auto upto = [&](const Tally& tally) {
    Tally within;
    for (const auto& [number, count] : tally.times) {
      if (number <= *all.rbegin()) within.times[number] = count;
    }
    return within;
  };
  std::printf("\n%-14s %9s %9s %9s\n", "", "results", "missing", "twice");
  for (const auto& [name, tally] :
       std::vector<std::pair<std::string, const Tally*>>{{"journal", &journal},
                                                         {"published", &seen},
                                                         {"history", &stored},
                                                         {"mqtt", &mqtt}}) {
    const Tally within = upto(*tally);
    std::printf("%-14s %9zu %9zu %9zu\n", name.c_str(), within.times.size(),
                within.missing_of(all), within.duplicated());
  }
  const std::map<std::string, Usage> last = {
      {"kestu-vision", UsageOf(*vision_)},
      {"kestu-web", UsageOf(*web_)},
      {"kestu-mqtt", UsageOf(*mqtt_)}};
  std::printf("\n%-14s %12s %12s %8s %8s   (%d cycles)\n", "", "RSS KiB at 1",
              "RSS KiB end", "fds 1", "fds end", cycles);
  for (const auto& [name, usage] : first) {
    std::printf("%-14s %12lld %12lld %8d %8d\n", name.c_str(),
                static_cast<long long>(usage.rss_kib),
                static_cast<long long>(last.at(name).rss_kib), usage.fds,
                last.at(name).fds);
  }
  // The totals went on across every restart: kestu-mqtt's retained counts
  // are the journal's, which the driver's overlay starts from.
  std::string counts;
  EXPECT_TRUE(PollUntil([&] { return CountsCarriedOn(&counts); }, kWait,
                        milliseconds(500)))
      << counts;
  EXPECT_EQ(journal.duplicated(), 0u);
  EXPECT_EQ(stored.missing_of(all), 0u);
  EXPECT_EQ(stored.duplicated(), 0u);
  EXPECT_EQ(mqtt.missing_of(all), 0u) << mqtt_->Stderr();
  EXPECT_EQ(mqtt.duplicated(), 0u);
}

}  // namespace
}  // namespace kestu_testing
