// What the drivers of a process cost while nothing is configured: the three
// drivers of the driver table registered on their ports (the channel,
// capture, detection and watchdog threads of each running), no client,
// measured over 10 seconds of wall time.
//
//   BM_IdleDrivers  cpu_percent: process CPU time over wall time, in percent
//                   of one core (goal: at most 1); wakeups_per_s: the
//                   process's voluntary context switches per second (each
//                   wait that ends is one).
//
// Run alone on a quiet machine: the figures are the process's own, but a
// loaded machine stretches them.
#include <sys/resource.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <glog/logging.h>

#include "src/driver/driver.h"
#include "src/drivers/driver_table.h"

namespace vostek_kestu {
namespace {

constexpr int kBasePort = 29500;  // below the kernel's ephemeral range
constexpr std::chrono::seconds kIdleTime(10);

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

long VoluntarySwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw;
}

void BM_IdleDrivers(benchmark::State& state) {
  auto settings = ProcessSettings::FromFlags();
  std::vector<std::unique_ptr<Driver>> drivers;
  for (const DriverKind& kind : DriverTable()) {
    drivers.push_back(std::make_unique<Driver>(kind, settings));
    if (!drivers.back()->Init(kBasePort + kind.port_offset, "127.0.0.1")) {
      state.SkipWithError("a port of the driver block is taken");
      return;
    }
  }
  // The threads settle (each logs its first lines) before the clock runs.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  for (auto _ : state) {
    const double cpu = ProcessCpuSeconds();
    const long switches = VoluntarySwitches();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kIdleTime);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    state.SetIterationTime(wall);
    state.counters["cpu_percent"] = 100.0 * (ProcessCpuSeconds() - cpu) / wall;
    state.counters["wakeups_per_s"] =
        static_cast<double>(VoluntarySwitches() - switches) / wall;
  }
}
BENCHMARK(BM_IdleDrivers)
    ->Unit(benchmark::kSecond)
    ->UseManualTime()
    ->Iterations(1);

}  // namespace
}  // namespace vostek_kestu

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Only warnings and errors are logged, to standard error.
  FLAGS_logtostderr = true;
  FLAGS_minloglevel = google::GLOG_WARNING;
  google::InitGoogleLogging(argv[0]);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  google::ShutdownGoogleLogging();
  return 0;
}
