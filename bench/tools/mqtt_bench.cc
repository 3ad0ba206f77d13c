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
//
// Counters: events, p50_ms, p99_ms and max_ms.
//
// Run: build/bench/tools/mqtt_bench (2>/dev/null for a clean table).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <google/protobuf/util/json_util.h>

#include "kestu_tools.pb.h"
#include "src/channels/kestu_base.h"
#include "tests/src/drivers/drivers_test_util.h"
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

}  // namespace

BENCHMARK_MAIN();
