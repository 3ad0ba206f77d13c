// kestu-mqtt's event latency: from a result published on a driver's data
// port to its event arriving at an MQTT subscriber, through a mosquitto
// broker of the benchmark's own (everything on 127.0.0.1).
//
//   BM_ChannelEvents  a driver channel of this process (the drivers' own
//                     KestuBase on the crowd ports of a process at kBase)
//                     publishes one ZONE_EXIT result, then waits for its
//                     event; one iteration per event, 20 ms apart. The
//                     time is the latency from the send.
//   BM_CrowdRun       kestu-vision with the crowd driver on the whole people
//                     clip (15 crossings); each ZONE_EXIT's latency from
//                     kestu-mqtt's receipt of the result on the data port
//                     (the event's "received", wall clock) to its arrival
//                     at the subscriber. The time is their mean.
//   BM_BrokerOutage   kestu-mqtt with --state_file following a fake
//                     process's journal (FakeJournal) while the broker is
//                     stopped for 30 s and the driver publishes 50 results
//                     a second, each with one ZONE_EXIT, and for 5 s after
//                     it is back. The time is from the broker's restart to
//                     the arrival of the last event of the outage
//                     (reconnection back-off included).
//
// Counters: events, p50_ms, p99_ms and max_ms; BM_BrokerOutage: events,
// queued_max (held by kestu-mqtt while the broker was away), lost (never
// arrived), sent_twice (PUBLISHes of kestu-mqtt's beyond one per event, in
// the broker's log) and dropped (kestu-mqtt's count).
//
// Run: build/bench/tools/mqtt_bench (2>/dev/null for a clean table).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <google/protobuf/util/json_util.h>
#include <httplib.h>

#include "kestu_tools.pb.h"
#include "src/channels/kestu_base.h"
#include "tests/src/drivers/drivers_test_util.h"
#include "tests/tools/fake_journal.h"
#include "tests/tools/mqtt_test_util.h"
#include "tools/driver_client.h"

namespace {

namespace v1 = ::talvenrook::vision::v1;
using Clock = std::chrono::steady_clock;
using kestu_testing::ChildProcess;
using std::chrono::milliseconds;

constexpr int kBase = 31200;       // the channel's process: 31200-31212
constexpr int kCrowdBase = 31260;  // kestu-vision: 31260-31275
constexpr int kBrokerPort = 31240;
constexpr int kOutageBase = 31300;  // the fake process: 31300-31313
constexpr char kVision[] = KESTU_BINARY_DIR "/src/kestu-vision";

// When each result's event arrived over MQTT, by result uuid.
class Arrivals {
 public:
  explicit Arrivals(kestu_tools::MqttSubscriber& subscriber) {
    subscriber.OnMessage([this](const kestu_tools::MqttMessage& m) {
      kestu::tools::MqttEvent event;
      if (!google::protobuf::util::JsonStringToMessage(m.payload, &event)
               .ok()) {
        return;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      at_[event.result_uuid()] = m.received;
      changed_.notify_all();
    });
  }
  std::optional<Clock::time_point> Wait(const std::string& uuid,
                                        milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return at_.count(uuid) > 0; });
    auto it = at_.find(uuid);
    if (it == at_.end()) return std::nullopt;
    return it->second;
  }

 private:
  std::mutex mutex_;  // guards at_
  std::condition_variable changed_;
  std::map<std::string, Clock::time_point> at_;
};

void Report(benchmark::State& state, std::vector<double> ms) {
  if (ms.empty()) {
    state.SkipWithError("no event arrived");
    return;
  }
  std::sort(ms.begin(), ms.end());
  auto at = [&](double p) {
    const size_t i = static_cast<size_t>(std::ceil(p * ms.size())) - 1;
    return ms[std::min(i, ms.size() - 1)];
  };
  state.counters["events"] = static_cast<double>(ms.size());
  state.counters["p50_ms"] = at(0.50);
  state.counters["p99_ms"] = at(0.99);
  state.counters["max_ms"] = ms.back();
}

class BenchDriver : public vostek_kestu::KestuBase {
 public:
  BenchDriver() : KestuBase("Bench") {}
  ~BenchDriver() override { StopChannels(); }
};

std::string ExitResult(const std::string& uuid) {
  v1::VisionResult result;
  result.set_uuid(uuid);
  auto* detection = result.add_rect_detection();
  detection->set_tracking_id(7);
  detection->set_type("person");
  auto* event = result.add_vision_event();
  event->set_tag(v1::ZONE_EXIT);
  event->set_tracking_id(7);
  event->set_zone_name("Walkway");
  event->set_zone_direction(v1::FORWARD);
  event->set_speed(1.4f);
  return result.SerializeAsString();
}

void BM_ChannelEvents(benchmark::State& state) {
  kestu_tools::Broker broker(kBrokerPort);
  if (!broker.Start()) return state.SkipWithError("mosquitto did not start");
  BenchDriver driver;
  if (!driver.Init(kBase + 9, "127.0.0.1")) {
    return state.SkipWithError("the channel's ports are taken");
  }
  kestu_tools::MqttSubscriber subscriber(kBrokerPort, "kestu/+/crowd/event");
  Arrivals arrivals(subscriber);
  kestu_tools::MqttProcess mqtt({"--broker=" + broker.address(),
                                 "--metrics_port=0", "--process",
                                 "127.0.0.1:" + std::to_string(kBase)});
  if (!subscriber.Subscribed(milliseconds(10000)) || !mqtt.Started()) {
    return state.SkipWithError("kestu-mqtt or the subscriber did not start");
  }
  // The subscriptions are in place once a warm-up event got through.
  int warm_up = 0;
  const bool warm = kestu_testing::PollUntil(
      [&] {
        const std::string uuid = "warm-" + std::to_string(warm_up++);
        driver.SendData(ExitResult(uuid));
        return arrivals.Wait(uuid, milliseconds(200)).has_value();
      },
      milliseconds(10000));
  if (!warm) return state.SkipWithError("no event got through");

  std::vector<double> ms;
  int n = 0;
  for (auto _ : state) {
    const std::string uuid = "e" + std::to_string(n++);
    const std::string bytes = ExitResult(uuid);
    const auto sent = Clock::now();
    driver.SendData(bytes);
    const auto arrived = arrivals.Wait(uuid, milliseconds(5000));
    if (!arrived) {
      state.SkipWithError("an event did not arrive");
      break;
    }
    const double seconds =
        std::chrono::duration<double>(*arrived - sent).count();
    state.SetIterationTime(seconds);
    ms.push_back(seconds * 1000.0);
    std::this_thread::sleep_for(milliseconds(20));
  }
  Report(state, ms);
}
BENCHMARK(BM_ChannelEvents)
    ->Iterations(1000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_CrowdRun(benchmark::State& state) {
  kestu_tools::Broker broker(kBrokerPort);
  if (!broker.Start()) return state.SkipWithError("mosquitto did not start");
  ChildProcess vision(kVision,
                      {"--bind_port=" + std::to_string(kCrowdBase),
                       "--streaming_port=" + std::to_string(kCrowdBase + 15)});
  if (!vision.WaitForStderr("Registered driver CrowdDriver",
                            milliseconds(20000))) {
    return state.SkipWithError("kestu-vision did not start");
  }
  const std::string prefix = "kestu/127.0.0.1:" + std::to_string(kCrowdBase);
  kestu_tools::MqttSubscriber subscriber(kBrokerPort, "kestu/#");
  // Each event's latency from kestu-mqtt's receipt of its result (the
  // event's "received", wall clock) to its arrival here.
  std::mutex mutex;
  std::vector<double> ms;
  subscriber.OnMessage([&](const kestu_tools::MqttMessage& m) {
    if (m.topic != prefix + "/crowd/event") return;
    const double now = std::chrono::duration<double>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    kestu::tools::MqttEvent event;
    if (!google::protobuf::util::JsonStringToMessage(m.payload, &event).ok())
      return;
    std::lock_guard<std::mutex> lock(mutex);
    ms.push_back((now - event.received()) * 1000.0);
  });
  kestu_tools::MqttProcess mqtt({"--broker=" + broker.address(),
                                 "--metrics_port=0", "--process",
                                 "127.0.0.1:" + std::to_string(kCrowdBase)});
  if (!subscriber.Subscribed(milliseconds(10000)) || !mqtt.Started() ||
      !subscriber.WaitFor(prefix + "/availability", "online",
                          milliseconds(10000))) {
    return state.SkipWithError("kestu-mqtt or the subscriber did not start");
  }
  zmq::context_t context(1);
  kestu_tools::Pinger pinger(context, kCrowdBase + 9);
  kestu_tools::DriverClient crowd(context, "127.0.0.1", kCrowdBase + 9);
  auto config = vostek_kestu::SampleConfig("crowd_walkway.textproto",
                                           vostek_kestu::kPeopleClip);
  config.set_uuid("bench-walkway");
  for (auto _ : state) {
    crowd.Push(config, milliseconds(5000));
    kestu_testing::PollUntil(
        [&] {
          const auto status = subscriber.Last(prefix + "/crowd/status");
          return status &&
                 status->payload.find("\"STOPPED\"") != std::string::npos;
        },
        std::chrono::seconds(180), milliseconds(100));
    std::lock_guard<std::mutex> lock(mutex);
    double total = 0.0;
    for (double m : ms) total += m;
    state.SetIterationTime(ms.empty() ? 0.0 : total / ms.size() / 1000.0);
  }
  std::lock_guard<std::mutex> lock(mutex);
  Report(state, ms);
}
BENCHMARK(BM_CrowdRun)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The value of a metric's first sample in kestu-mqtt's /metrics; -1: none.
double Metric(int port, const std::string& name) {
  httplib::Client client("127.0.0.1", port);
  const auto response = client.Get("/metrics");
  if (!response || response->status != 200) return -1;
  const size_t at = response->body.find("\n" + name);
  if (at == std::string::npos) return -1;
  const size_t space = response->body.find(' ', at);
  return std::stod(response->body.substr(space + 1));
}

void BM_BrokerOutage(benchmark::State& state) {
  constexpr auto kOutage = std::chrono::seconds(30);
  constexpr auto kAfter = std::chrono::seconds(5);
  constexpr auto kPeriod = milliseconds(20);  // 50 results a second
  const int metrics_port = kOutageBase + 17;
  char folder[] = "/tmp/kestu-mqtt-outage-XXXXXX";
  if (mkdtemp(folder) == nullptr) return state.SkipWithError("no folder");
  const std::string log = std::string(folder) + "/mosquitto.log";
  kestu_tools::Broker broker(kBrokerPort,
                             {"log_dest file " + log, "log_type all"},
                             /*persistent=*/true);
  if (!broker.Start()) return state.SkipWithError("mosquitto did not start");
  kestu_tools::FakeJournal fake(kOutageBase);
  const std::string process = "127.0.0.1:" + std::to_string(kOutageBase);
  const std::string topic = "kestu/" + process + "/crowd/event";
  std::mutex mutex;
  std::map<uint64_t, int> arrived;  // by result number
  std::map<uint64_t, Clock::time_point> first_arrival;
  kestu_tools::MqttSubscriber subscriber(kBrokerPort, topic, "outage-bench");
  subscriber.OnMessage([&](const kestu_tools::MqttMessage& m) {
    kestu::tools::MqttEvent event;
    if (!google::protobuf::util::JsonStringToMessage(m.payload, &event).ok())
      return;
    std::lock_guard<std::mutex> lock(mutex);
    ++arrived[event.sequence()];
    first_arrival.emplace(event.sequence(), m.received);
  });
  kestu_tools::MqttProcess mqtt(
      {"--broker=" + broker.address(), "--process", process,
       "--client_id=kestu-mqtt-outage-bench",
       "--state_file=" + std::string(folder) + "/state",
       "--metrics_port=" + std::to_string(metrics_port),
       "--reconnect_min_seconds=1", "--reconnect_max_seconds=2"});
  if (!subscriber.Subscribed(milliseconds(10000)) || !mqtt.Started() ||
      !kestu_testing::PollUntil(
          [&] {
            fake.Publish();
            return mqtt.child().Stderr().find("follows journal") !=
                   std::string::npos;
          },
          milliseconds(10000), milliseconds(100))) {
    return state.SkipWithError("kestu-mqtt did not follow the journal");
  }
  const uint64_t first = fake.last_sequence() + 1;
  const kestu_tools::FakeEvent exit{"Walkway", v1::FORWARD};
  double queued_max = 0;
  for (auto _ : state) {
    broker.Stop();
    const auto back_at = Clock::now() + kOutage;
    while (Clock::now() < back_at) {
      fake.Publish({exit});
      queued_max = std::max(queued_max,
                            Metric(metrics_port, "kestu_mqtt_messages_queued"));
      std::this_thread::sleep_for(kPeriod);
    }
    const uint64_t last_away = fake.last_sequence();
    if (!broker.Start()) return state.SkipWithError("mosquitto did not start");
    const auto restarted = Clock::now();
    while (Clock::now() < restarted + kAfter) {
      fake.Publish({exit});
      std::this_thread::sleep_for(kPeriod);
    }
    const uint64_t last = fake.last_sequence();
    kestu_testing::PollUntil(
        [&] {
          std::lock_guard<std::mutex> lock(mutex);
          return arrived.size() >= last - first + 1 && arrived.count(last);
        },
        std::chrono::seconds(60), milliseconds(50));
    std::lock_guard<std::mutex> lock(mutex);
    if (first_arrival.count(last_away) == 0) {
      return state.SkipWithError("the events did not all arrive");
    }
    state.SetIterationTime(
        std::chrono::duration<double>(first_arrival[last_away] - restarted)
            .count());
    int lost = 0;
    for (uint64_t s = first; s <= last; ++s) lost += arrived.count(s) ? 0 : 1;
    int publishes = 0;
    std::istringstream lines(kestu_testing::ReadFile(log));
    for (std::string line; std::getline(lines, line);) {
      if (line.find("Received PUBLISH from kestu-mqtt-outage-bench ") !=
              std::string::npos &&
          line.find("'" + topic + "'") != std::string::npos) {
        ++publishes;
      }
    }
    state.counters["events"] = static_cast<double>(last - first + 1);
    state.counters["queued_max"] = queued_max;
    state.counters["lost"] = lost;
    state.counters["sent_twice"] =
        publishes - static_cast<double>(last - first + 1);
    state.counters["dropped"] =
        Metric(metrics_port, "kestu_mqtt_messages_dropped_total");
  }
}
BENCHMARK(BM_BrokerOutage)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
