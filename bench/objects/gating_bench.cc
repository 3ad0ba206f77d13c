// Motion gating: the CPU time of the samples' object pipelines per frame,
// with and without "motion_gating", on the office clip (people come in one
// at a time and stand; samples/videos/people_one_by_one.mp4, 10 fps), the
// people clip (vtest.avi) and the road clip, and how many streams of each
// one instance would keep at 10 frames per second on this machine (its
// cores divided by the CPU seconds a stream needs per second, reading the
// frames included).
//
// Counters: cpu_ms (pipeline CPU time per frame), read_ms (decoding and
// scaling per frame), skipped (share of region-frames not detected),
// streams_10fps.
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "tools/score/accuracy_run.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;

struct Clip {
  const char* name;
  const char* path;
  const char* sample;
  cv::Size frame_size;
};

const Clip kClips[] = {
    {"office", "samples/videos/people_one_by_one.mp4",
     "samples/crowd_walkway.textproto", cv::Size()},
    {"square", "/usr/share/doc/opencv-doc/examples/data/vtest.avi",
     "samples/crowd_walkway.textproto", cv::Size()},
    {"road", "samples/videos/road_motorway.avi",
     "samples/vehicle_motorway.textproto", cv::Size(640, 480)},
};

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

// CPU seconds per frame of reading (and scaling) the clip alone.
double ReadSecondsPerFrame(const Clip& clip) {
  cv::VideoCapture capture(clip.path);
  cv::Mat frame;
  int frames = 0;
  const double start = CpuSeconds();
  while (capture.read(frame)) {
    if (!clip.frame_size.empty()) cv::resize(frame, frame, clip.frame_size);
    ++frames;
  }
  return frames > 0 ? (CpuSeconds() - start) / frames : 0.0;
}

void BM_Gating(benchmark::State& state, const Clip& clip, bool gated) {
  KestuEyeConfig config;
  std::string error;
  if (!LoadEyeConfig(clip.sample, &config, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  (*config.mutable_config()->mutable_properties())["motion_gating"]
      .set_boolean_value(gated);
  v1::VisionResultList results;
  double cpu = 0.0;
  for (auto _ : state) {
    if (!RunPipeline(clip.path, config, clip.frame_size, &results, &error,
                     &cpu)) {
      state.SkipWithError(error.c_str());
      return;
    }
  }
  const int frames = results.vision_results_size();
  const double per_frame = cpu / frames;
  const double read = ReadSecondsPerFrame(clip);
  state.counters["cpu_ms"] = per_frame * 1000.0;
  state.counters["read_ms"] = read * 1000.0;
  double skipped = 0.0;
  const auto& sections =
      results.vision_results(frames - 1).frame_data().sections();
  if (sections.count("detected_frames") && sections.count("skipped_frames")) {
    const double d = sections.at("detected_frames");
    const double s = sections.at("skipped_frames");
    skipped = d + s > 0 ? s / (d + s) : 0.0;
  }
  state.counters["skipped"] = skipped;
  const double cores = std::thread::hardware_concurrency();
  state.counters["streams_10fps"] = cores / ((per_frame + read) * 10.0);
}

void Register() {
  for (const Clip& clip : kClips) {
    for (const bool gated : {false, true}) {
      benchmark::RegisterBenchmark((std::string("BM_Gating/") + clip.name +
                                    (gated ? "/gated" : "/every_frame"))
                                       .c_str(),
                                   [&clip, gated](benchmark::State& state) {
                                     BM_Gating(state, clip, gated);
                                   })
          ->Unit(benchmark::kMillisecond)
          ->Iterations(1);
    }
  }
}

}  // namespace
}  // namespace kestu_tools

int main(int argc, char** argv) {
  if (chdir(KESTU_SOURCE_DIR) != 0) return 1;  // the samples' paths
  kestu_tools::Register();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
