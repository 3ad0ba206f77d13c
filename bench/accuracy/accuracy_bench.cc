// Tracking and counting accuracy of the samples, scored against ground
// truth on four clips. The crowd sample on three:
//   - "square": OpenCV's vtest.avi (people walking in a square, 768 x 576)
//     against its public MOTChallenge ground truth, read from
//     $KESTU_MOT_DIR or ../shared/mot beside the repository (skipped
//     without it), with the sample's walkway line;
//   - "office": samples/videos/people_one_by_one.mp4 (six people come in
//     one at a time, stand at a table and leave) against the annotation in
//     tests/data/people_one_by_one_gt.txt, with the zones of
//     bench/accuracy/office_zones.textproto;
//   - "toward": samples/videos/people_walking_toward_camera.gif (three
//     people walk straight at the camera and stop; their boxes grow while
//     their centres barely move) against the annotation in
//     tests/data/people_walking_toward_camera_gt.txt, without zones: the
//     boxes are cut by the bottom of the picture and their centres rise
//     by only about 12 pixels as they grow, so there is no line to cross
//     (and the sample's walkway line, drawn for vtest.avi, means nothing
//     in this picture).
// The vehicle sample on one:
//   - "road": samples/videos/road_motorway.avi, scaled to the sample's
//     640 x 480 as the driver does, against tests/data/road_motorway_gt.txt
//     (boxes of distant vehicles are marked 0 there and set aside).
//
// The detectors run once per clip and input size; each setting then tracks
// the same detections, and its results are scored as kestu-score scores a
// record run: MOTA, IDF1, identity switches, false positives, misses,
// tracks, and the zone exits per direction beside the truth's passes
// (zone i forward/backward: z<i>f, z<i>b; the truth's: t<i>f, t<i>b). The
// settings: the tracker with the default keys (the sample without any
// opt-in key), the sample as it is, and SORT (sort_tracker.h, the peer to
// beat), all on the same detections of the sample's detector input;
// and the sample with motion gating on ("BM_SampleGated"), which runs the
// whole pipeline again since gating changes what is detected.
//
// Extra settings to try: KESTU_ACCURACY_EXTRA=a.textproto,b.textproto
// (DriverConfig text; their configuration maps replace the sample's, the
// sample's models stay), and KESTU_ACCURACY_INPUT=416 to run the detector
// at another input size; KESTU_ACCURACY_ONLY=road scores one clip.
// KESTU_ACCURACY_DUMP=dir writes each setting's
// results there as a detections file (for kestu-score or kestu-recount).
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>
#include <google/protobuf/text_format.h>

#include "bench/accuracy/sort_tracker.h"
#include "tools/recount/recounter.h"
#include "tools/score/accuracy_run.h"
#include "tools/score/mot_metrics.h"
#include "tools/score/zone_passes.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;

struct Dataset {
  std::string name;
  std::string sample;
  std::string clip;
  std::string truth;
  std::string zones;    // replaces the sample's zones when not empty
  cv::Size frame_size;  // frames are scaled to it first when not empty
  bool ignore_zero_confidence = false;
  bool no_zones = false;  // the sample's zones are dropped (zones unused)
};

std::vector<Dataset> Datasets() {
  const char* dir = std::getenv("KESTU_MOT_DIR");
  const std::string mot =
      dir ? dir : std::string(KESTU_SOURCE_DIR) + "/../shared/mot";
  const std::string crowd = "samples/crowd_walkway.textproto";
  std::vector<Dataset> all = {
      {"square", crowd, "/usr/share/doc/opencv-doc/examples/data/vtest.avi",
       mot + "/PETS09-S2L1/gt.txt", "", cv::Size(), false},
      {"office", crowd, "samples/videos/people_one_by_one.mp4",
       "tests/data/people_one_by_one_gt.txt",
       "bench/accuracy/office_zones.textproto", cv::Size(), false},
      {"toward", crowd, "samples/videos/people_walking_toward_camera.gif",
       "tests/data/people_walking_toward_camera_gt.txt", "", cv::Size(), false,
       true},
      {"road", "samples/vehicle_motorway.textproto",
       "samples/videos/road_motorway.avi", "tests/data/road_motorway_gt.txt",
       "", cv::Size(640, 480), true}};
  const char* only = std::getenv("KESTU_ACCURACY_ONLY");
  if (only == nullptr) return all;
  std::vector<Dataset> chosen;
  for (const Dataset& data : all) {
    if (data.name == only) chosen.push_back(data);
  }
  return chosen;
}

void SetInputSize(KestuEyeConfig* config, int size) {
  for (auto& model : *config->mutable_models()) {
    auto& props = *model.mutable_properties();
    if (props.count("content") == 0) continue;
    auto& input = (*props["content"]
                        .mutable_entity_value()
                        ->mutable_properties())["input_size"];
    input.mutable_size_value()->set_width(size);
    input.mutable_size_value()->set_height(size);
  }
}

int InputSize() {
  const char* value = std::getenv("KESTU_ACCURACY_INPUT");
  return value ? std::atoi(value) : 0;
}

// One clip with its truth and zones, and its detection runs by input size.
class Scene {
 public:
  explicit Scene(const Dataset& data) : data_(data) {
    ok_ = ReadMotFile(data.truth, &truth_, &why_) &&
          LoadEyeConfig(data.sample, &sample_, &why_);
    if (ok_ && data.no_zones) {
      auto& props = *sample_.mutable_config()->mutable_properties();
      for (const char* key : {"zones", "rois", "areas"}) props.erase(key);
    }
    if (ok_ && !data.zones.empty()) {
      ok_ = LoadZonesFragment(data.zones, &zones_, &why_);
      for (const auto& entry : zones_.properties()) {
        (*sample_.mutable_config()->mutable_properties())[entry.first] =
            entry.second;
      }
    }
  }

  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }
  const KestuEyeConfig& sample() const { return sample_; }
  const MotFrames& truth() const { return truth_; }
  const Dataset& data() const { return data_; }

  // A configuration map from elsewhere with this scene's zones (or none,
  // for a scene without them).
  KestuEyeConfig WithZones(const KestuEyeConfig& config) const {
    KestuEyeConfig out = config;
    if (data_.no_zones) {
      auto& props = *out.mutable_config()->mutable_properties();
      for (const char* key : {"zones", "rois", "areas"}) props.erase(key);
    }
    for (const auto& entry : zones_.properties()) {
      (*out.mutable_config()->mutable_properties())[entry.first] = entry.second;
    }
    return out;
  }

  const DetectionRun* Run(int input) {
    auto& run = runs_[input];
    if (!run) {
      KestuEyeConfig config = sample_;
      if (input > 0) SetInputSize(&config, input);
      run = std::make_unique<DetectionRun>();
      std::string error;
      if (!run->Detect(data_.clip, config, &error, 0, data_.frame_size)) {
        why_ = error;
        run.reset();
      }
    }
    return run.get();
  }

 private:
  Dataset data_;
  bool ok_ = false;
  std::string why_;
  KestuEyeConfig sample_;
  Entity zones_;
  MotFrames truth_;
  std::map<int, std::unique_ptr<DetectionRun>> runs_;
};

Scene& GetScene(const Dataset& data) {
  static auto* scenes = new std::map<std::string, std::unique_ptr<Scene>>();
  auto& scene = (*scenes)[data.name];
  if (!scene) scene = std::make_unique<Scene>(data);
  return *scene;
}

void SetScoreCounters(benchmark::State& state, const ScoreSummary& s) {
  state.counters["MOTA"] = s.clear.mota;
  state.counters["IDF1"] = s.identity.idf1;
  state.counters["IDSW"] = static_cast<double>(s.clear.identity_switches);
  state.counters["FP"] = static_cast<double>(s.clear.false_positives);
  state.counters["FN"] = static_cast<double>(s.clear.misses);
  state.counters["tracks"] = static_cast<double>(s.result_tracks);
}

// Zone i's passes per direction: the setting's (z<i>f, z<i>b) beside the
// truth's (t<i>f, t<i>b).
void SetPassCounters(benchmark::State& state, size_t i, int64_t run_forward,
                     int64_t run_backward, int64_t truth_forward,
                     int64_t truth_backward) {
  const std::string z = std::to_string(i);
  state.counters["z" + z + "f"] = static_cast<double>(run_forward);
  state.counters["z" + z + "b"] = static_cast<double>(run_backward);
  state.counters["t" + z + "f"] = static_cast<double>(truth_forward);
  state.counters["t" + z + "b"] = static_cast<double>(truth_backward);
}

// Scores a setting's results and sets the benchmark's counters.
void Report(benchmark::State& state, Scene& scene, const KestuEyeConfig& config,
            const v1::VisionResultList& results, const std::string& name) {
  if (const char* dump = std::getenv("KESTU_ACCURACY_DUMP")) {
    std::ofstream out(std::string(dump) + "/" + name + ".pb", std::ios::binary);
    results.SerializeToOstream(&out);
  }
  ScoreOptions options;
  options.ignore_zero_confidence = scene.data().ignore_zero_confidence;
  SetScoreCounters(state,
                   Score(scene.truth(), ResultsAsFrames(results, 0), options));
  ZonePasses passes;
  std::string error;
  if (passes.Configure(config.config(), &error)) {
    passes.CountTruth(scene.truth(), options.ignore_zero_confidence);
    passes.CountRun(results, 0);
    const auto report = passes.Report();
    for (size_t i = 0; i < report.size(); ++i) {
      SetPassCounters(state, i, report[i].run_forward(),
                      report[i].run_backward(), report[i].truth_forward(),
                      report[i].truth_backward());
    }
  }
}

// The scene's detection run; null, with the benchmark skipped and the
// reason given, when the scene or its run failed.
const DetectionRun* SceneRun(benchmark::State& state, Scene& scene) {
  const DetectionRun* run = scene.ok() ? scene.Run(InputSize()) : nullptr;
  if (run == nullptr) state.SkipWithError(scene.why().c_str());
  return run;
}

void ScoreSetting(benchmark::State& state, Scene& scene,
                  const KestuEyeConfig& config, const std::string& name) {
  const DetectionRun* run = SceneRun(state, scene);
  if (run == nullptr) return;
  v1::VisionResultList results;
  for (auto _ : state) results = run->Track(config);
  Report(state, scene, config, results, name);
  state.counters["det_fps"] = run->detection_seconds() > 0
                                  ? run->frames() / run->detection_seconds()
                                  : 0.0;
}

// SORT on the detections the sample tracks (its detector, class filter and
// suppression, the tracker off); its passes are its tracks' crossings of
// the sample's lines, found as the truth's are.
void ScoreSort(benchmark::State& state, Scene& scene) {
  const DetectionRun* run = SceneRun(state, scene);
  if (run == nullptr) return;
  KestuEyeConfig config = scene.sample();
  (*config.mutable_config()->mutable_properties())["enable_tracker"]
      .set_boolean_value(false);
  MotFrames tracked;
  for (auto _ : state) {
    const v1::VisionResultList detected = run->Track(config);
    SortTracker sort;
    tracked.assign(detected.vision_results_size(), {});
    for (int k = 0; k < detected.vision_results_size(); ++k) {
      std::vector<cv::Rect2d> boxes;
      for (const auto& detection :
           detected.vision_results(k).rect_detection()) {
        const auto& l = detection.location();
        if (l.width() > 0 && l.height() > 0) {
          boxes.emplace_back(l.x(), l.y(), l.width(), l.height());
        }
      }
      for (const SortTracker::Output& out : sort.Update(boxes)) {
        MotBox box;
        box.id = out.id;
        box.box = out.box;
        tracked[k].push_back(box);
      }
    }
  }
  ScoreOptions options;
  options.ignore_zero_confidence = scene.data().ignore_zero_confidence;
  SetScoreCounters(state, Score(scene.truth(), tracked, options));
  ZonePasses truth;
  ZonePasses passes;
  std::string error;
  if (truth.Configure(scene.sample().config(), &error) &&
      passes.Configure(scene.sample().config(), &error)) {
    truth.CountTruth(scene.truth(), options.ignore_zero_confidence);
    passes.CountTruth(tracked, false);
    const auto want = truth.Report();
    const auto got = passes.Report();
    for (size_t i = 0; i < want.size() && i < got.size(); ++i) {
      SetPassCounters(state, i, got[i].truth_forward(), got[i].truth_backward(),
                      want[i].truth_forward(), want[i].truth_backward());
    }
  }
}

// The whole pipeline with motion gating on: the detector runs only where
// something moved, so the detections differ from the shared run's.
void ScoreGated(benchmark::State& state, Scene& scene,
                const std::string& name) {
  if (!scene.ok()) {
    state.SkipWithError(scene.why().c_str());
    return;
  }
  KestuEyeConfig config = scene.sample();
  if (InputSize() > 0) SetInputSize(&config, InputSize());
  (*config.mutable_config()->mutable_properties())["motion_gating"]
      .set_boolean_value(true);
  v1::VisionResultList results;
  std::string error;
  double cpu = 0.0;
  for (auto _ : state) {
    if (!RunPipeline(scene.data().clip, config, scene.data().frame_size,
                     &results, &error, &cpu)) {
      state.SkipWithError(error.c_str());
      return;
    }
  }
  Report(state, scene, config, results, name);
  const auto& last = results.vision_results(results.vision_results_size() - 1);
  const auto& sections = last.frame_data().sections();
  const double detected =
      sections.count("detected_frames") ? sections.at("detected_frames") : 0.0;
  const double skipped =
      sections.count("skipped_frames") ? sections.at("skipped_frames") : 0.0;
  state.counters["skipped_share"] =
      detected + skipped > 0 ? skipped / (detected + skipped) : 0.0;
}

void RegisterSettings() {
  std::vector<std::pair<std::string, std::string>> extra;  // name, path
  if (const char* list = std::getenv("KESTU_ACCURACY_EXTRA")) {
    std::stringstream paths(list);
    std::string path;
    while (std::getline(paths, path, ',')) {
      if (path.empty()) continue;
      std::string name = path.substr(path.find_last_of('/') + 1);
      extra.emplace_back(name.substr(0, name.find('.')), path);
    }
  }
  for (const Dataset& data : Datasets()) {
    benchmark::RegisterBenchmark(
        ("BM_DefaultTracker/" + data.name).c_str(),
        [data](benchmark::State& state) {
          Scene& scene = GetScene(data);
          ScoreSetting(state, scene, WithoutOptInKeys(scene.sample()),
                       data.name + "_default");
        })
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    benchmark::RegisterBenchmark(("BM_Sample/" + data.name).c_str(),
                                 [data](benchmark::State& state) {
                                   Scene& scene = GetScene(data);
                                   ScoreSetting(state, scene, scene.sample(),
                                                data.name + "_sample");
                                 })
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    benchmark::RegisterBenchmark(
        ("BM_Sort/" + data.name).c_str(),
        [data](benchmark::State& state) { ScoreSort(state, GetScene(data)); })
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    benchmark::RegisterBenchmark(("BM_SampleGated/" + data.name).c_str(),
                                 [data](benchmark::State& state) {
                                   ScoreGated(state, GetScene(data),
                                              data.name + "_gated");
                                 })
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    for (const auto& [name, path] : extra) {
      benchmark::RegisterBenchmark(
          ("BM_Setting/" + data.name + "/" + name).c_str(),
          [data, name = name, path = path](benchmark::State& state) {
            Scene& scene = GetScene(data);
            KestuEyeConfig config;
            std::string error;
            if (!LoadEyeConfig(path, &config, &error)) {
              state.SkipWithError(error.c_str());
              return;
            }
            KestuEyeConfig setting = scene.sample();
            *setting.mutable_config() = config.config();
            ScoreSetting(state, scene, scene.WithZones(setting),
                         data.name + "_" + name);
          })
          ->Unit(benchmark::kMillisecond)
          ->Iterations(1);
    }
  }
}

}  // namespace
}  // namespace kestu_tools

int main(int argc, char** argv) {
  // The sample's model paths, the clips and the truth are relative to the
  // repository.
  if (chdir(KESTU_SOURCE_DIR) != 0) return 1;
  kestu_tools::RegisterSettings();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
