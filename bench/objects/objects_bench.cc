// The crowd pipeline on the people clip (OpenCV's vtest.avi, 768 x 576)
// with YOLO-Fastest, against a bare OpenCV loop that reads the same frames
// and runs the same network at the same input size (384 x 288, what the
// pipeline derives from its 320 x 320 budget); the synchronous and the
// asynchronous paths; the crowd job of scripts/demo (analysis, drawing and
// recording); and the per-frame cost of everything but inference
// (filtering, tracking, zones, statistics, drawing, publishing) at 10 and
// 50 objects.
//
// The machine is shared, so each comparison runs its sides alternately in
// one loop and reports both frame rates and their ratio.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <google/protobuf/text_format.h>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "bench/paired.h"
#include "tests/testing/hand_over.h"
#include "vision/detectors/adapter_registry.h"
#include "vision/exec/worker_pool.h"
#include "vision/objects/crowd_analytics_video_v1.h"

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using kestu_bench::Clock;
using kestu_bench::ReportPair;
using kestu_bench::Seconds;

constexpr char kPeopleClip[] =
    "/usr/share/doc/opencv-doc/examples/data/vtest.avi";
const cv::Size kNetworkInput(384, 288);

std::string DataPath(const std::string& name) {
  return std::string(KESTU_SOURCE_DIR) + "/tests/data/" + name;
}

// The frames of the clip, read in a loop (the clip starts again at its end).
class ClipReader {
 public:
  ClipReader() : capture_(kPeopleClip) {}
  bool ok() const { return capture_.isOpened(); }
  const cv::Mat& Next() {
    if (!capture_.read(frame_)) {
      capture_.open(kPeopleClip);
      capture_.read(frame_);
    }
    return frame_;
  }

 private:
  cv::VideoCapture capture_;
  cv::Mat frame_;
};

KestuEyeConfig CrowdConfig(const std::string& extra = "") {
  KestuEyeConfig config;
  google::protobuf::TextFormat::ParseFromString(R"pb(
    config {
      properties { key: "indexes_to_filter" value { array_value {
        values { string_value: "person" } } } }
      properties { key: "zones" value { array_value { values { entity_value {
        properties { key: "name" value { string_value: "Walkway" } }
        properties { key: "A" value { entity_value {
          properties { key: "x" value { integer_value: 320 } }
          properties { key: "y" value { integer_value: 130 } } } } }
        properties { key: "B" value { entity_value {
          properties { key: "x" value { integer_value: 320 } }
          properties { key: "y" value { integer_value: 330 } } } } }
        properties { key: "height" value { integer_value: 40 } }
        properties { key: "meter_pixel_ratio" value { double_value: 0.025 } }
      } } } } }
      properties { key: "stats_options" value { entity_value {
        properties { key: "show_count_per_zone" value { boolean_value: true } }
      } } }
    }
    models {
      properties { key: "type" value { string_value: "YOLO" } }
      properties { key: "version" value { string_value: "1.1" } }
      properties { key: "engine" value { string_value: "Darknet" } }
      properties { key: "content" value { entity_value {
        properties { key: "input_size" value { size_value { width: 320 height: 320 } } }
        properties { key: "input_scale" value { double_value: 0.00392156863 } }
        properties { key: "swap_input_channels" value { boolean_value: true } }
        properties { key: "labels" value { array_value {
          values { string_value: "person" } } } } } } }
      properties { key: "config" value { entity_value {
        properties { key: "confidence_th" value { double_value: 0.3 } } } } }
    })pb",
                                                &config);
  auto& content = *(*config.mutable_models(0)->mutable_properties())["content"]
                       .mutable_entity_value()
                       ->mutable_properties();
  content["prototxt_file"].set_string_value(
      DataPath("yolo-fastest-1.1_body.cfg"));
  content["caffemodel_file"].set_string_value(
      DataPath("yolo-fastest-1.1_body.weights"));
  if (!extra.empty()) {
    Entity more;
    google::protobuf::TextFormat::ParseFromString(extra, &more);
    config.mutable_config()->MergeFrom(more);
  }
  return config;
}

// The bare loop: read, blob, forward every output layer.
class BareLoop {
 public:
  BareLoop()
      : net_(cv::dnn::readNetFromDarknet(
            DataPath("yolo-fastest-1.1_body.cfg"),
            DataPath("yolo-fastest-1.1_body.weights"))),
        names_(net_.getUnconnectedOutLayersNames()) {}
  void Frame() {
    const cv::Mat& frame = reader_.Next();
    cv::dnn::blobFromImage(frame, blob_, 1 / 255.0, kNetworkInput, cv::Scalar(),
                           true, false, CV_32F);
    net_.setInput(blob_);
    net_.forward(outputs_, names_);
  }

 private:
  ClipReader reader_;
  cv::dnn::Net net_;
  std::vector<cv::String> names_;
  cv::Mat blob_;
  std::vector<cv::Mat> outputs_;
};

void BM_PairedCrowdSyncVsBare(benchmark::State& state) {
  if (!ClipReader().ok()) {
    state.SkipWithError("vtest.avi is missing (scripts/install-deps)");
    return;
  }
  BareLoop bare;
  CrowdAnalyticsVideoV1 crowd;
  if (const absl::Status set_up = crowd.Setup(CrowdConfig()); !set_up.ok()) {
    state.SkipWithError(std::string(set_up.message()).c_str());
    return;
  }
  ClipReader reader;
  bare.Frame();
  crowd.Process({}, reader.Next());
  Clock::duration bare_time{}, pipeline_time{};
  int64_t n = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    bare.Frame();
    auto t1 = Clock::now();
    benchmark::DoNotOptimize(crowd.Process({}, reader.Next()));
    auto t2 = Clock::now();
    bare_time += t1 - t0;
    pipeline_time += t2 - t1;
    ++n;
  }
  ReportPair(state, "bare_fps", Seconds(bare_time), "pipeline_fps",
             Seconds(pipeline_time), n);
}
BENCHMARK(BM_PairedCrowdSyncVsBare)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(15.0)
    ->UseRealTime();

// Batches of 16 frames: the bare loop, then the pipeline with Begin on a
// reading thread and Finish on this one (as the driver's capture and
// detection threads do), alternately.
void BM_PairedCrowdAsyncVsBare(benchmark::State& state) {
  if (!ClipReader().ok()) {
    state.SkipWithError("vtest.avi is missing (scripts/install-deps)");
    return;
  }
  constexpr int kBatch = 16;
  BareLoop bare;
  CrowdAnalyticsVideoV1 crowd;
  crowd.SetTaskRunner(std::make_shared<WorkerPool>("bench-inference"));
  if (const absl::Status set_up = crowd.Setup(CrowdConfig()); !set_up.ok()) {
    state.SkipWithError(std::string(set_up.message()).c_str());
    return;
  }
  ClipReader reader;
  bare.Frame();
  crowd.Process({}, reader.Next());
  Clock::duration bare_time{}, pipeline_time{};
  int64_t n = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (int i = 0; i < kBatch; ++i) bare.Frame();
    auto t1 = Clock::now();
    kestu_testing::HandOver<std::unique_ptr<FrameWork>> works(kBatch);
    std::thread producer([&] {
      for (int i = 0; i < kBatch; ++i)
        works.Push(crowd.Begin(reader.Next().clone(), /*ahead=*/true));
    });
    for (int i = 0; i < kBatch; ++i)
      benchmark::DoNotOptimize(crowd.Finish(works.Pop(), {}, cv::Mat()));
    producer.join();
    auto t2 = Clock::now();
    bare_time += t1 - t0;
    pipeline_time += t2 - t1;
    n += kBatch;
  }
  ReportPair(state, "bare_fps", Seconds(bare_time), "pipeline_async_fps",
             Seconds(pipeline_time), n);
}
BENCHMARK(BM_PairedCrowdAsyncVsBare)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(15.0)
    ->UseRealTime();

// The work of one frame of the scripts/demo crowd job: read, analyse, draw
// the overlay and record the frame (mp4v), against the bare loop.
void BM_PairedCrowdJobVsBare(benchmark::State& state) {
  if (!ClipReader().ok()) {
    state.SkipWithError("vtest.avi is missing (scripts/install-deps)");
    return;
  }
  BareLoop bare;
  CrowdAnalyticsVideoV1 crowd;
  if (const absl::Status set_up = crowd.Setup(CrowdConfig()); !set_up.ok()) {
    state.SkipWithError(std::string(set_up.message()).c_str());
    return;
  }
  ClipReader reader;
  const std::string path = "/tmp/kestu-objects-bench.mp4";
  cv::VideoWriter writer(path, cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 10,
                         cv::Size(768, 576));
  bare.Frame();
  Clock::duration bare_time{}, job_time{};
  int64_t n = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    bare.Frame();
    auto t1 = Clock::now();
    cv::Mat frame = reader.Next();
    benchmark::DoNotOptimize(crowd.Process({}, frame));
    crowd.Draw(frame);
    writer.write(frame);
    auto t2 = Clock::now();
    bare_time += t1 - t0;
    job_time += t2 - t1;
    ++n;
  }
  writer.release();
  std::remove(path.c_str());
  ReportPair(state, "bare_fps", Seconds(bare_time), "job_fps",
             Seconds(job_time), n);
}
BENCHMARK(BM_PairedCrowdJobVsBare)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(10.0)
    ->UseRealTime();

// --- Everything but inference ---------------------------------------------

// An adapter that finds N people (40 x 80) on a grid of rows of ten, all
// walking 4 pixels to the right per frame (wrapping at the right edge); the
// first two rows cross the zone at x = 320 every few seconds. It costs
// nothing to run.
class GridAdapter : public DetectorAdapter {
 public:
  explicit GridAdapter(int count) : count_(count) {}
  bool Configure(const KestuEyeConfig&, const Entity&) override { return true; }
  DetectionList Detect(const cv::Mat& frame) override {
    DetectionList list;
    const int columns = 10;
    for (int i = 0; i < count_; ++i) {
      const int x = (60 * (i % columns) + 4 * frame_) % (frame.cols - 40);
      const int y = 150 + 90 * (i / columns);
      list.boxes.emplace_back(x, y, 40, 80);
      list.confidences.push_back(0.9f);
      list.labels.push_back(0);
    }
    ++frame_;
    return list;
  }
  absl::StatusOr<bool> TryPushFrame(const cv::Mat& frame) override {
    return false;
  }
  DetectionList PopDetections() override { return DetectionList(); }
  std::string Label(int index) const override { return "person"; }

 private:
  int count_;
  int frame_ = 0;
};

void BM_CrowdFrameWithoutInference(benchmark::State& state) {
  const int objects = static_cast<int>(state.range(0));
  RegisterAdapterCreator(
      "GRID",
      [objects](const KestuEyeConfig&,
                const Entity& model) -> std::unique_ptr<DetectorAdapter> {
        std::string type;
        ConvertValue(GetProperty(model, "type"), &type);
        if (type != "GRID") return nullptr;
        auto adapter = std::make_unique<GridAdapter>(objects);
        adapter->SetTypeVersion({"GRID", "1"});
        return adapter;
      });
  KestuEyeConfig config = CrowdConfig(R"pb(
    properties { key: "rois" value { array_value { values { entity_value {
      properties { key: "model" value { entity_value {
        properties { key: "type" value { string_value: "GRID" } }
        properties { key: "version" value { string_value: "1" } } } } }
    } } } } })pb");
  config.mutable_config()->mutable_properties()->erase("indexes_to_filter");
  auto& model = *config.mutable_models(0)->mutable_properties();
  model["type"].set_string_value("GRID");
  model["version"].set_string_value("1");
  CrowdAnalyticsVideoV1 crowd;
  if (const absl::Status set_up = crowd.Setup(config); !set_up.ok()) {
    state.SkipWithError(std::string(set_up.message()).c_str());
    return;
  }
  const cv::Mat background(576, 768, CV_8UC3, cv::Scalar(90, 120, 100));
  cv::Mat frame;
  std::string bytes;
  int64_t exits = 0;
  for (auto _ : state) {
    background.copyTo(frame);
    const VisionResult result = crowd.Process({}, frame);
    crowd.Draw(frame);
    // Publishing: one serialised result per zone exit, as the driver
    // sends them.
    for (const auto& event : result.vision_event()) {
      for (const auto& detection : result.rect_detection()) {
        if (detection.tracking_id() != event.tracking_id()) continue;
        VisionResult single;
        *single.add_rect_detection() = detection;
        *single.add_vision_event() = event;
        single.SerializeToString(&bytes);
        ++exits;
      }
    }
  }
  state.counters["exits_per_frame"] =
      benchmark::Counter(static_cast<double>(exits) / state.iterations());
}
BENCHMARK(BM_CrowdFrameWithoutInference)
    ->Arg(10)
    ->Arg(50)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0);

}  // namespace
}  // namespace talvenrook_vision

BENCHMARK_MAIN();
