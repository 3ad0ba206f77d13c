// Hot paths of the tracking layer: Tracker::Update, the zone and area
// checks, MotionGrid::Boxes and MovementFilter::Moving.
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

#include "vision/tracking/area.h"
#include "vision/tracking/motion_grid.h"
#include "vision/tracking/movement_filter.h"
#include "vision/tracking/tracker.h"
#include "vision/tracking/zone.h"

namespace talvenrook_vision {
namespace {

// n boxes of side x side on a grid with 100-pixel pitch, shifted by
// `offset`.
std::vector<cv::Rect> GridBoxes(int n, cv::Point offset, int side = 40) {
  std::vector<cv::Rect> boxes;
  const int per_row = 20;
  for (int i = 0; i < n; ++i) {
    boxes.emplace_back(offset.x + (i % per_row) * 100,
                       offset.y + (i / per_row) * 100, side, side);
  }
  return boxes;
}

// N detections against N live tracks, each moving a few pixels per frame.
void BM_TrackerUpdate(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Tracker tracker;
  const std::vector<cv::Rect> a = GridBoxes(n, {0, 0});
  const std::vector<cv::Rect> b = GridBoxes(n, {3, 2});
  tracker.Update(a);
  bool flip = false;
  for (auto _ : state) {
    flip = !flip;
    benchmark::DoNotOptimize(tracker.Update(flip ? b : a));
  }
  if (tracker.tracks().size() != static_cast<size_t>(n)) {
    state.SkipWithError("tracks were not matched");
  }
  state.SetComplexityN(n);
}
BENCHMARK(BM_TrackerUpdate)
    ->Arg(10)
    ->Arg(50)
    ->Arg(200)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oNSquared);

// N detections with 128-float descriptors. With `reid` set the boxes
// change between 40 and 80 pixels wide every frame, so that none matches by
// position and every track is found again by the descriptor pass.
void BM_TrackerUpdateDescriptors(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const bool reid = state.range(1) != 0;
  Tracker tracker;
  Tracker::Parameters p;
  p.deals_with_occlusion = true;
  p.descriptors_check_distance = false;
  p.descriptors_threshold = 1e9;
  tracker.Configure(p);
  std::vector<cv::Mat> descriptors;
  cv::RNG rng(7);
  for (int i = 0; i < n; ++i) {
    cv::Mat d(1, 128, CV_32F);
    rng.fill(d, cv::RNG::UNIFORM, 0.0, 1.0);
    descriptors.push_back(d);
  }
  const std::vector<cv::Rect> a = GridBoxes(n, {0, 0});
  const std::vector<cv::Rect> b =
      reid ? GridBoxes(n, {0, 0}, 80) : GridBoxes(n, {3, 2});
  tracker.Update(a, {}, descriptors);
  bool flip = false;
  for (auto _ : state) {
    flip = !flip;
    benchmark::DoNotOptimize(tracker.Update(flip ? b : a, {}, descriptors));
  }
  if (tracker.tracks().size() != static_cast<size_t>(n)) {
    state.SkipWithError("tracks were not matched");
  }
}
BENCHMARK(BM_TrackerUpdateDescriptors)
    ->ArgNames({"n", "reid"})
    ->Args({50, 0})
    ->Args({50, 1})
    ->Unit(benchmark::kMicrosecond);

// One zone check of one track per iteration; 64 tracks walk through a
// repeating zone so that the crossing tests run every time.
void BM_ZoneCheck(benchmark::State& state) {
  Zone zone({0, 360}, {1280, 360}, 40, "bench", /*repeat=*/true);
  const int tracks = 64;
  int64_t step = 0;
  for (auto _ : state) {
    const int id = static_cast<int>(step % tracks);
    const int y = 300 + static_cast<int>((step / tracks) % 12) * 10;
    benchmark::DoNotOptimize(zone.Check(id, {100 + id * 15, y}));
    ++step;
  }
}
BENCHMARK(BM_ZoneCheck);

// One area check per iteration against a polygon of `range(0)` points.
void BM_AreaCheck(benchmark::State& state) {
  const int points = static_cast<int>(state.range(0));
  std::vector<cv::Point> polygon;
  for (int i = 0; i < points; ++i) {
    const double a = 2 * CV_PI * i / points;
    polygon.emplace_back(640 + static_cast<int>(300 * std::cos(a)),
                         360 + static_cast<int>(300 * std::sin(a)));
  }
  Area area(polygon, /*repeat=*/true);
  const int tracks = 64;
  int64_t step = 0;
  for (auto _ : state) {
    const int id = static_cast<int>(step % tracks);
    const int x = 200 + static_cast<int>((step / tracks) % 90) * 10;
    benchmark::DoNotOptimize(area.Check(id, {x, 300 + id}));
    ++step;
  }
}
BENCHMARK(BM_AreaCheck)->Arg(4)->Arg(16);

// Two 1280 x 720 grey frames of noise, alternating.
std::vector<cv::Mat> NoiseFrames() {
  std::vector<cv::Mat> frames(2, cv::Mat(720, 1280, CV_8UC1));
  cv::RNG rng(3);
  for (cv::Mat& frame : frames) {
    frame = cv::Mat(720, 1280, CV_8UC1);
    rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
  }
  return frames;
}

void BM_MotionGridBoxes(benchmark::State& state) {
  // range(0) 1: every cell differs (worst case); 0: nothing moves, so every
  // sample of every cell is read.
  const std::vector<cv::Mat> frames = NoiseFrames();
  MotionGrid grid;
  grid.Configure(Entity());
  int64_t i = 0;
  for (auto _ : state) {
    const cv::Mat& frame = state.range(0) ? frames[i++ % 2] : frames[0];
    benchmark::DoNotOptimize(grid.Boxes(frame).size());
  }
}
BENCHMARK(BM_MotionGridBoxes)
    ->ArgName("changing")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);

// A square moving over a still background; ten boxes per frame.
void BM_MovementFilterMoving(benchmark::State& state) {
  MovementFilter filter;
  filter.Configure(Entity(), {});
  cv::Mat background(720, 1280, CV_8UC1);
  cv::RNG rng(5);
  rng.fill(background, cv::RNG::UNIFORM, 40, 60);
  std::vector<cv::Rect> boxes = GridBoxes(10, {100, 100});
  cv::Mat frame;
  int64_t i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    background.copyTo(frame);
    cv::rectangle(frame,
                  cv::Rect(100 + static_cast<int>(i++ % 800), 300, 120, 120),
                  cv::Scalar(220), cv::FILLED);
    state.ResumeTiming();
    benchmark::DoNotOptimize(filter.Moving(frame, boxes, 0.15).size());
  }
}
BENCHMARK(BM_MovementFilterMoving)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace talvenrook_vision

BENCHMARK_MAIN();
