// Round trips through a driver's channels over TCP on 127.0.0.1: a ping on
// the keep-alive port, and a DriverConfig carrying 1 MiB of model bytes from
// the client's push to the driver's ProcessConfig (receive and parse
// included).
#include <condition_variable>
#include <mutex>

#include <benchmark/benchmark.h>

#include "src/channels/kestu_base.h"
#include "tools/driver_client.h"

namespace {

using std::chrono::milliseconds;
using vostek_kestu::DriverConfig;

class SignallingDriver : public vostek_kestu::KestuBase {
 public:
  SignallingDriver() : KestuBase("Bench") {}
  ~SignallingDriver() override { StopChannels(); }
  bool ProcessConfig(const DriverConfig& config) override {
    std::lock_guard<std::mutex> lock(mutex_);
    received_bytes_ += config.ByteSizeLong();
    ++received_;
    cv_.notify_all();
    return true;
  }
  void WaitFor(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return received_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int received_ = 0;
  size_t received_bytes_ = 0;
};

constexpr int kBasePort = 29000;  // below the ephemeral port range

void BM_PingRoundTrip(benchmark::State& state) {
  SignallingDriver driver;
  if (!driver.Init(kBasePort, "127.0.0.1")) {
    state.SkipWithError("ports in use");
    return;
  }
  zmq::context_t context(1);
  kestu_tools::DriverClient client(context, "127.0.0.1", kBasePort);
  for (auto _ : state) {
    if (!client.Ping(milliseconds(5000))) state.SkipWithError("no pong");
  }
}
BENCHMARK(BM_PingRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_ConfigurationRoundTrip(benchmark::State& state) {
  SignallingDriver driver;
  if (!driver.Init(kBasePort + 10, "127.0.0.1")) {
    state.SkipWithError("ports in use");
    return;
  }
  zmq::context_t context(1);
  kestu_tools::DriverClient client(context, "127.0.0.1", kBasePort + 10);
  DriverConfig config;
  config.set_uuid("bench");
  auto& model =
      *config.mutable_kestu_eye_config()->add_models()->mutable_properties();
  model["engine"].set_string_value("Tensorflow");
  auto& content =
      *model["content"].mutable_entity_value()->mutable_properties();
  content["caffemodel"].set_blob_value(std::string(state.range(0), '\x5a'));
  const std::string bytes = config.SerializeAsString();
  int sent = 0;
  for (auto _ : state) {
    client.Push(bytes, milliseconds(5000));
    driver.WaitFor(++sent);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_ConfigurationRoundTrip)
    ->Arg(1 << 20)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
