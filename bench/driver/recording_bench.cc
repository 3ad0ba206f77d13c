// The time a START_RECORDING holds the capture thread (and so, through the
// configuration mutex, a configuration thread that receives a message
// meanwhile): RecordingScheduler::ScheduleRecording of one request with 1,
// 16 and 1,000 interleaved samples, the largest request taken. No writer
// opens at scheduling; what is left is building the recorders and their
// five log lines each.
//
// Log lines go to files in a temporary directory and to standard error, as
// a deployed driver's do; run with 2>/dev/null for a clean table.
//
// Goal: a few milliseconds for the largest request.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <glog/logging.h>

#include "src/driver/recording_scheduler.h"

namespace {

using vostek_kestu::Entity;
using vostek_kestu::RecordingScheduler;
using vostek_kestu::Status;

std::string ScratchDirectory() {
  static const std::string path = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kestu-rec-bench-XXXXXX")
            .string();
    return std::string(mkdtemp(pattern.data()));
  }();
  return path;
}

Entity Request(int samples) {
  Entity options;
  auto& map = *options.mutable_properties();
  map["filename"].set_string_value(ScratchDirectory() + "/sample");
  map["duration"].set_integer_value(samples * 10);
  auto& interleaved =
      *map["interleaved_options"].mutable_entity_value()->mutable_properties();
  interleaved["samples"].set_integer_value(samples);
  interleaved["period"].set_integer_value(60);
  return options;
}

void BM_ScheduleRecording(benchmark::State& state) {
  const Entity options = Request(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    auto scheduler = std::make_unique<RecordingScheduler>(
        [](Status::MessageType, const std::string&, const std::string&) {});
    state.ResumeTiming();
    if (!scheduler->ScheduleRecording(options, cv::Size(640, 480))) {
      state.SkipWithError("refused");
    }
    state.PauseTiming();  // the recorders go with the scheduler, untimed
    scheduler.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ScheduleRecording)
    ->ArgName("samples")
    ->Arg(1)
    ->Arg(16)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  const std::string log_dir = ScratchDirectory() + "-logs";
  std::filesystem::create_directories(log_dir);
  FLAGS_log_dir = log_dir;
  FLAGS_alsologtostderr = true;
  google::InitGoogleLogging(argv[0]);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  google::ShutdownGoogleLogging();
  std::error_code ignored;
  std::filesystem::remove_all(log_dir, ignored);
  std::filesystem::remove_all(ScratchDirectory(), ignored);
  return 0;
}
