// Tracking and counting accuracy of the crowd sample on the people clip
// (OpenCV's vtest.avi), scored against its public ground truth.
//
// The detectors run once per input size; each setting then tracks the same
// detections, and its results are scored as kestu-score scores a record
// run: MOTA, IDF1, identity switches, false positives, misses, tracks, and
// the walkway line's exits per direction. The settings: the tracker with
// the default keys (the sample without any opt-in key), and the sample as
// it is.
//
// The ground truth is read from $KESTU_MOT_DIR or ../shared/mot beside the
// repository; without it the benchmarks are skipped. Extra settings to try:
// KESTU_ACCURACY_EXTRA=a.textproto,b.textproto (DriverConfig text; their
// configuration maps replace the sample's, the sample's models stay), and
// KESTU_ACCURACY_INPUT=416 to run the detector at another input size.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>

#include "tools/score/accuracy_run.h"
#include "tools/score/mot_metrics.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using Entity = ::talvenrook::common::Entity;

constexpr char kPeopleClip[] =
    "/usr/share/doc/opencv-doc/examples/data/vtest.avi";
constexpr char kSample[] = "samples/crowd_walkway.textproto";

std::string TruthPath() {
  const char* dir = std::getenv("KESTU_MOT_DIR");
  const std::string base =
      dir ? dir : std::string(KESTU_SOURCE_DIR) + "/../shared/mot";
  return base + "/PETS09-S2L1/gt.txt";
}

// Keys that go beyond the default tracker and counting.
bool OptInKey(const std::string& key) {
  static const std::set<std::string> keys = {
      "tracker_motion_model", "tracker_association", "tracker_iou_threshold",
      "tracker_min_travel",   "tracker_appearance",  "publish_track_summary",
      "suppression_overlap_threshold"};
  return keys.count(key) != 0;
}

KestuEyeConfig WithoutOptInKeys(KestuEyeConfig config) {
  Entity* map = config.mutable_config();
  for (auto it = map->mutable_properties()->begin();
       it != map->mutable_properties()->end();) {
    it = OptInKey(it->first) ? map->mutable_properties()->erase(it) : ++it;
  }
  // Zones count once per track by default.
  auto zones = map->mutable_properties()->find("zones");
  if (zones != map->mutable_properties()->end()) {
    for (auto& zone : *zones->second.mutable_array_value()->mutable_values()) {
      zone.mutable_entity_value()->mutable_properties()->erase("repeat");
    }
  }
  return config;
}

void SetInputSize(KestuEyeConfig* config, int size) {
  for (auto& model : *config->mutable_models()) {
    auto& props = *model.mutable_properties();
    if (props.count("content") == 0) continue;
    auto& input = (*props["content"].mutable_entity_value()
                        ->mutable_properties())["input_size"];
    input.mutable_size_value()->set_width(size);
    input.mutable_size_value()->set_height(size);
  }
}

struct Fixture {
  bool ok = false;
  std::string why;
  KestuEyeConfig sample;
  MotFrames truth;
  std::map<int, std::unique_ptr<DetectionRun>> runs;  // by input size

  Fixture() {
    if (!ReadMotFile(TruthPath(), &truth, &why)) {
      why = "no ground truth (" + why + ")";
      return;
    }
    ok = LoadEyeConfig(std::string(KESTU_SOURCE_DIR) + "/" + kSample, &sample,
                       &why);
  }

  const DetectionRun* Run(int input) {
    auto& run = runs[input];
    if (!run) {
      KestuEyeConfig config = sample;
      if (input > 0) SetInputSize(&config, input);
      run = std::make_unique<DetectionRun>();
      std::string error;
      if (!run->Detect(kPeopleClip, config, &error)) {
        std::cerr << error << std::endl;
        run.reset();
        return nullptr;
      }
    }
    return run.get();
  }
};

Fixture& GetFixture() {
  static Fixture* fixture = new Fixture();
  return *fixture;
}

int InputSize() {
  const char* value = std::getenv("KESTU_ACCURACY_INPUT");
  return value ? std::atoi(value) : 0;
}

void ScoreSetting(benchmark::State& state, const KestuEyeConfig& config,
                  const std::string& name) {
  Fixture& f = GetFixture();
  if (!f.ok) {
    state.SkipWithError(f.why.c_str());
    return;
  }
  const DetectionRun* run = f.Run(InputSize());
  if (run == nullptr) {
    state.SkipWithError("the clip cannot be read");
    return;
  }
  v1::VisionResultList results;
  for (auto _ : state) results = run->Track(config);
  if (const char* dump = std::getenv("KESTU_ACCURACY_DUMP")) {
    // The results as a detections file, for kestu-score and kestu-recount.
    std::ofstream out(std::string(dump) + "/" + name + ".pb",
                      std::ios::binary);
    results.SerializeToOstream(&out);
  }
  const ScoreSummary s = Score(f.truth, ResultsAsFrames(results, 0));
  int64_t forward = 0, backward = 0;
  for (const auto& result : results.vision_results()) {
    for (const auto& event : result.vision_event()) {
      if (event.tag() != v1::ZONE_EXIT) continue;
      (event.zone_direction() == v1::BACKWARD ? backward : forward) += 1;
    }
  }
  state.counters["MOTA"] = s.clear.mota;
  state.counters["IDF1"] = s.identity.idf1;
  state.counters["IDSW"] = static_cast<double>(s.clear.identity_switches);
  state.counters["FP"] = static_cast<double>(s.clear.false_positives);
  state.counters["FN"] = static_cast<double>(s.clear.misses);
  state.counters["tracks"] = static_cast<double>(s.result_tracks);
  state.counters["fwd"] = static_cast<double>(forward);
  state.counters["bwd"] = static_cast<double>(backward);
  state.counters["det_fps"] =
      run->detection_seconds() > 0 ? run->frames() / run->detection_seconds()
                                   : 0.0;
}

void BM_DefaultTracker(benchmark::State& state) {
  ScoreSetting(state, WithoutOptInKeys(GetFixture().sample), "default");
}
BENCHMARK(BM_DefaultTracker)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_Sample(benchmark::State& state) {
  ScoreSetting(state, GetFixture().sample, "sample");
}
BENCHMARK(BM_Sample)->Unit(benchmark::kMillisecond)->Iterations(1);

// The settings named in KESTU_ACCURACY_EXTRA, one benchmark each.
void RegisterExtraSettings() {
  const char* list = std::getenv("KESTU_ACCURACY_EXTRA");
  if (list == nullptr) return;
  std::stringstream paths(list);
  std::string path;
  while (std::getline(paths, path, ',')) {
    benchmark::RegisterBenchmark(
        ("BM_Setting/" + path).c_str(),
        [path](benchmark::State& state) {
          KestuEyeConfig extra;
          std::string error;
          if (!LoadEyeConfig(path, &extra, &error)) {
            state.SkipWithError(error.c_str());
            return;
          }
          KestuEyeConfig config = GetFixture().sample;
          *config.mutable_config() = extra.config();
          std::string name = path.substr(path.find_last_of('/') + 1);
          ScoreSetting(state, config, name.substr(0, name.find('.')));
        })
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
  }
}

}  // namespace
}  // namespace kestu_tools

int main(int argc, char** argv) {
  // The sample's model paths are relative to the repository.
  if (chdir(KESTU_SOURCE_DIR) != 0) return 1;
  kestu_tools::RegisterExtraSettings();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
