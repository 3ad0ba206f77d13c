// What the event journal adds between a frame and the data port, and what
// it takes on disk.
//
// BM_Append: one crowd ZONE_EXIT result (box, event, uuid) numbered and
// written, back to back, with the once-a-second sync running beside it.
// BM_PacedAppend: 50 results a second for the iteration count's seconds,
// the way a busy site publishes them; reports the 50th and 99th percentile
// and the worst append in microseconds, and the journal's bytes per million
// results.
//
//   build/bench/journal/journal_bench --benchmark_filter=Paced
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "src/journal/event_journal.h"

namespace vostek_kestu {
namespace {

using ::talvenrook::vision::v1::VisionResult;

VisionResult CrowdExit(int i) {
  VisionResult result;
  auto* box = result.add_rect_detection();
  box->mutable_location()->set_x(0.31f);
  box->mutable_location()->set_y(0.42f);
  box->mutable_location()->set_width(0.05f);
  box->mutable_location()->set_height(0.18f);
  box->set_confidence(0.83f);
  box->set_type("person");
  box->set_tracking_id(1000 + i);
  box->set_uuid("6f1c2a9e-3b7d-4e21-9a5c-0d8f7e6b5a41");
  auto* event = result.add_vision_event();
  event->set_tag(::talvenrook::vision::v1::ZONE_EXIT);
  event->set_tracking_id(1000 + i);
  event->set_zone_name("Walkway");
  event->set_zone_direction(::talvenrook::vision::v1::FORWARD);
  event->set_speed(1.3f);
  event->mutable_timestamp()->set_seconds(1765360000 + i);
  result.set_uuid("0b7e3c55-91a2-4f6d-8e1b-7c4d2a9f3e60");
  return result;
}

// A journal in a fresh folder with its sync thread.
class Bench {
 public:
  Bench() {
    char folder[] = "/tmp/kestu-journal-bench-XXXXXX";
    root_ = mkdtemp(folder);
    JournalOptions options;
    options.folder = root_ + "/journal";
    std::string error;
    journal_ = EventJournal::Open(options, &error);
    syncer_ = std::thread([this] {
      while (!stop_) {
        std::string error;
        journal_->Sync(&error);
        for (int i = 0; i < 100 && !stop_; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      }
    });
  }
  ~Bench() {
    stop_ = true;
    syncer_.join();
    journal_.reset();
    std::system(("rm -rf " + root_).c_str());
  }
  EventJournal& journal() { return *journal_; }

 private:
  std::string root_;
  std::unique_ptr<EventJournal> journal_;
  std::atomic<bool> stop_{false};
  std::thread syncer_;
};

void BM_Append(benchmark::State& state) {
  Bench bench;
  int i = 0;
  std::string error;
  for (auto _ : state) {
    VisionResult result = CrowdExit(i++);
    benchmark::DoNotOptimize(bench.journal().Append(&result, &error));
  }
  state.counters["bytes_per_million"] =
      static_cast<double>(bench.journal().size_bytes()) * 1e6 / i;
}
BENCHMARK(BM_Append);

void BM_PacedAppend(benchmark::State& state) {
  constexpr int kPerSecond = 50;
  const int seconds = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Bench bench;
    std::vector<double> micros;
    std::string error;
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < seconds * kPerSecond; ++i) {
      std::this_thread::sleep_until(next);
      next += std::chrono::milliseconds(1000 / kPerSecond);
      VisionResult result = CrowdExit(i);
      const auto start = std::chrono::steady_clock::now();
      bench.journal().Append(&result, &error);
      micros.push_back(std::chrono::duration<double, std::micro>(
                           std::chrono::steady_clock::now() - start)
                           .count());
    }
    std::sort(micros.begin(), micros.end());
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["max_us"] = micros.back();
    state.counters["bytes_per_million"] =
        static_cast<double>(bench.journal().size_bytes()) * 1e6 /
        static_cast<double>(micros.size());
  }
}
BENCHMARK(BM_PacedAppend)->Arg(20)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace vostek_kestu

BENCHMARK_MAIN();
