// The driver's own cost per frame and per preview, on 1280 x 720 frames.
//
// Frame rate: a bare OpenCV loop that only reads a generated 200-frame
// MJPG clip, against the driver reading the same clip with a pipeline that
// does nothing but return one detection and its TRACKING_END event, so that
// exactly one result is published per frame on the data channel. Every
// driver figure stops its clock only when a subscriber on the data port has
// received the batch's results.
//
//   BM_BareRead       cv::VideoCapture::read, reopening at the end of the
//                     clip as the driver does.
//   BM_DriverSync     ProcessNextFrame (read, prepare, frame step) called
//                     in turn on this thread, as the synchronous loop does;
//                     no driver thread runs.
//   BM_DriverThreads  the driver's own threads (the capture thread running
//                     the stand-alone loop, and the asynchronous detection
//                     thread), synchronous or asynchronous; the rate is taken
//                     between the 10th result after start and 200 results
//                     later.
//   BM_DriverOverhead all of the above alternately in one loop (the machine
//                     is shared), with the rates and their ratios.
//   BM_SendResult, BM_LogDetection: the publication of one result, and its
//                     log line alone.
//
// Preview: AddImageToResult on a fresh, unprocessed frame with the default
// preview settings (blur, JPEG quality 100, full size), in ms per preview,
// and the same steps taken apart with plain OpenCV calls.
//
// Goals: sync/bare of BM_DriverOverhead at least 0.95, and async/thr_sync
// at least 1 (the asynchronous mode no slower than the synchronous one).
//
// Log lines go to files in a temporary directory, as a deployed driver's
// do, so the per-result detection log line is part of the driver's cost.
// Sources opened by the driver skip their 3 seconds to settle (also at each
// reopen at the end of the clip). The video source writes a line to standard
// error at every open; run with 2>/dev/null for a clean table.
#include <chrono>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>

#include "bench/driver/driver_bench_loops.h"
#include "bench/paired.h"

namespace vostek_kestu {
namespace {

using driver_bench::BareLoop;
using driver_bench::BenchDriver;
using driver_bench::ClipPath;
using driver_bench::DirectLoop;
using driver_bench::kBatchFrames;
using driver_bench::kChunkFrames;
using driver_bench::kFrameSize;
using driver_bench::MakeDriver;
using driver_bench::NoOpPipeline;
using driver_bench::ParseConfig;
using driver_bench::Prop;
using driver_bench::ScratchPrefix;
using driver_bench::ThreadedLoop;
using kestu_bench::Clock;
using kestu_bench::Seconds;

// ---------------------------------------------------------------------------
// Frame-rate benchmarks

template <typename Loop>
void RunBatches(benchmark::State& state, Loop& loop, bool manual_time) {
  double total = 0.0;
  for (auto _ : state) {
    const double seconds = loop.RunBatch();
    if (seconds < 0.0) {
      state.SkipWithError("a frame or its result did not arrive");
      return;
    }
    total += seconds;
    if (manual_time) state.SetIterationTime(seconds);
  }
  state.SetItemsProcessed(state.iterations() * kBatchFrames);
  state.counters["fps"] = state.iterations() * kBatchFrames / total;
}

void BM_BareRead(benchmark::State& state) {
  BareLoop loop;
  if (!loop.Open()) {
    state.SkipWithError("cannot open the clip");
    return;
  }
  RunBatches(state, loop, false);
}
BENCHMARK(BM_BareRead)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

void BM_DriverSync(benchmark::State& state) {
  DirectLoop loop;
  const std::string error = loop.Open();
  if (!error.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  RunBatches(state, loop, false);
}
BENCHMARK(BM_DriverSync)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

void BM_DriverThreads(benchmark::State& state) {
  ThreadedLoop loop(state.range(0) != 0);
  const std::string error = loop.Open();
  if (!error.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  RunBatches(state, loop, true);
}
BENCHMARK(BM_DriverThreads)
    ->ArgName("async")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(10);

// All four alternately, so that load from elsewhere on the machine falls on
// each about equally: the bare and the direct loop take turns every 20
// frames (each keeps its place in the clip, so both still reopen it once
// per 200 frames), the threaded ones every 200 results.
void BM_DriverOverhead(benchmark::State& state) {
  BareLoop bare;
  DirectLoop direct;
  ThreadedLoop threaded_sync(false);
  ThreadedLoop threaded_async(true);
  std::string error = bare.Open() ? "" : "cannot open the clip";
  if (error.empty()) error = direct.Open();
  if (error.empty()) error = threaded_sync.Open();
  if (error.empty()) error = threaded_async.Open();
  if (!error.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  double bare_s = 0, direct_s = 0, sync_s = 0, async_s = 0;
  for (auto _ : state) {
    double b = 0, d = 0;
    for (int chunk = 0; chunk < kBatchFrames / kChunkFrames; ++chunk) {
      const double bare_chunk = bare.RunBatch(kChunkFrames);
      const double direct_chunk = direct.RunBatch(kChunkFrames);
      if (bare_chunk < 0 || direct_chunk < 0) b = d = -1.0;
      if (b < 0) break;
      b += bare_chunk;
      d += direct_chunk;
    }
    const double s = threaded_sync.RunBatch();
    const double a = threaded_async.RunBatch();
    if (b < 0 || d < 0 || s < 0 || a < 0) {
      state.SkipWithError("a frame or its result did not arrive");
      return;
    }
    bare_s += b;
    direct_s += d;
    sync_s += s;
    async_s += a;
  }
  const double frames = static_cast<double>(state.iterations()) * kBatchFrames;
  state.counters["bare_fps"] = frames / bare_s;
  state.counters["sync_fps"] = frames / direct_s;
  state.counters["sync/bare"] = bare_s / direct_s;
  state.counters["thr_sync_fps"] = frames / sync_s;
  state.counters["thr_sync/bare"] = bare_s / sync_s;
  state.counters["async_fps"] = frames / async_s;
  state.counters["async/thr_sync"] = sync_s / async_s;
}
BENCHMARK(BM_DriverOverhead)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10);

// Where the driver's time per frame goes, beyond reading: the publication
// of one result (SendResult: the detection log line, a fresh uuid, the
// serialisation and the send; no subscriber is connected) and the
// detection log line alone.
VisionResult OneTrackEndResult() {
  NoOpPipeline pipeline;
  return pipeline.Process(VisionRequest(), cv::Mat(kFrameSize, CV_8UC3));
}

void BM_SendResult(benchmark::State& state) {
  auto driver = MakeDriver();
  if (!driver) {
    state.SkipWithError("no free port block for the driver");
    return;
  }
  const VisionResult result = OneTrackEndResult();
  for (auto _ : state) driver->SendResult(result);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendResult)->Unit(benchmark::kMicrosecond);

void BM_LogDetection(benchmark::State& state) {
  BenchDriver driver;
  const VisionResult result = OneTrackEndResult();
  for (auto _ : state) driver.LogDetection(result);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogDetection)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// Preview

// Frames of the clip, decoded once.
const std::vector<cv::Mat>& PreviewFrames() {
  static const std::vector<cv::Mat>* frames = [] {
    auto* out = new std::vector<cv::Mat>();
    cv::VideoCapture capture(ClipPath());
    cv::Mat frame;
    for (int i = 0; i < 8 && capture.read(frame); ++i) {
      out->push_back(frame.clone());
    }
    return out;
  }();
  return *frames;
}

// AddImageToResult on a fresh frame each time. With testing mode on (and no
// frames added to results), ProcessFrame keeps an unprocessed copy of the
// frame as the preview without encoding it; the clock runs around
// AddImageToResult only. The driver has no channels, so nothing is sent.
//   Arg 1: the configuration states blur_amount 90 (made odd: 91, 9 %).
//   Arg 0: a driver never configured (the member default 90, 10 %).
void BM_PreviewJpeg(benchmark::State& state) {
  const auto& frames = PreviewFrames();
  if (frames.empty()) {
    state.SkipWithError("cannot read the clip");
    return;
  }
  BenchDriver driver;
  if (state.range(0) != 0) {
    driver.Configure(ParseConfig("kestu_eye_config { config { " +
                                 Prop("blur_amount", "integer_value: 90") +
                                 "} }"));
  }
  const bool add_frames = FLAGS_add_frames_to_proto;
  driver.settings().set_testing_mode(true);
  FLAGS_add_frames_to_proto = false;
  size_t bytes = 0;
  int64_t previews = 0;
  for (auto _ : state) {
    driver.ProcessFrame(frames[previews % frames.size()].clone());
    VisionResult result;
    const auto start = Clock::now();
    const bool added = driver.AddImageToResult(&result);
    state.SetIterationTime(Seconds(Clock::now() - start));
    if (!added || result.result_image().size().width() != kFrameSize.width) {
      state.SkipWithError("no full-size preview");
      break;
    }
    bytes += result.result_image().image().size();
    ++previews;
  }
  FLAGS_add_frames_to_proto = add_frames;
  state.SetItemsProcessed(previews);
  state.counters["blur_amount"] = driver.blur_amount();
  state.counters["jpeg_kB"] =
      previews > 0 ? static_cast<double>(bytes) / previews / 1000.0 : 0.0;
}
BENCHMARK(BM_PreviewJpeg)
    ->ArgName("configured")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

// The preview steps with plain OpenCV calls, timed apart: shrink to 9 %,
// 5 x 5 box filter, enlarge back (blur_ms); JPEG at quality 100 (jpeg_ms).
void BM_PreviewSteps(benchmark::State& state) {
  const auto& frames = PreviewFrames();
  if (frames.empty()) {
    state.SkipWithError("cannot read the clip");
    return;
  }
  const int percent = 9;
  double blur_s = 0, jpeg_s = 0;
  int64_t previews = 0;
  std::vector<uchar> jpeg;
  for (auto _ : state) {
    cv::Mat preview = frames[previews % frames.size()].clone();
    const auto start = Clock::now();
    const cv::Size full = preview.size();
    cv::Mat reduced;
    cv::resize(
        preview, reduced,
        cv::Size(full.width * percent / 100, full.height * percent / 100), 0, 0,
        cv::INTER_LINEAR);
    cv::boxFilter(reduced, reduced, -1, cv::Size(5, 5), cv::Point(-1, -1), true,
                  cv::BORDER_REFLECT_101);
    cv::resize(reduced, preview, full, 0, 0, cv::INTER_LINEAR);
    const auto blurred = Clock::now();
    cv::imencode(".jpg", preview, jpeg, {cv::IMWRITE_JPEG_QUALITY, 100});
    const auto end = Clock::now();
    blur_s += Seconds(blurred - start);
    jpeg_s += Seconds(end - blurred);
    state.SetIterationTime(Seconds(end - start));
    ++previews;
  }
  state.SetItemsProcessed(previews);
  state.counters["blur_ms"] = previews > 0 ? blur_s * 1000.0 / previews : 0.0;
  state.counters["jpeg_ms"] = previews > 0 ? jpeg_s * 1000.0 / previews : 0.0;
}
BENCHMARK(BM_PreviewSteps)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
}  // namespace vostek_kestu

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Log lines go to files, as a deployed driver's do; only errors reach
  // standard error.
  const std::string log_dir = vostek_kestu::ScratchPrefix() + "-logs";
  std::filesystem::create_directories(log_dir);
  FLAGS_log_dir = log_dir;
  FLAGS_logtostderr = false;
  FLAGS_alsologtostderr = false;
  FLAGS_stderrthreshold = google::GLOG_ERROR;
  google::InitGoogleLogging(argv[0]);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  google::ShutdownGoogleLogging();
  std::error_code ignored;
  std::filesystem::remove_all(log_dir, ignored);
  for (const char* suffix : {".avi", "-sync.textproto", "-async.textproto"}) {
    std::filesystem::remove(vostek_kestu::ScratchPrefix() + suffix, ignored);
  }
  return 0;
}
