// Detector hot paths on 1280 x 720 frames: the SSD and YOLO adapters
// against a bare network loop at the same input size, the asynchronous
// ring against synchronous detection, and optical-flow frame skipping.
//
// The machine is shared, so each comparison runs its two sides alternately
// in one loop and reports both frame rates and their ratio.
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <google/protobuf/text_format.h>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "bench/paired.h"
#include "vision/detectors/ssd_detector_adapter.h"
#include "vision/detectors/yolo_detector_adapter.h"
#include "vision/exec/worker_pool.h"

namespace talvenrook_vision {
namespace {

std::string DataPath(const std::string& name) {
  return std::string(KESTU_SOURCE_DIR) + "/tests/data/" + name;
}

std::string ReadData(const std::string& name) {
  std::ifstream in(DataPath(name), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

// Eight 720p frames: the two test stills, shifted a little each time.
const std::vector<cv::Mat>& Frames() {
  static const std::vector<cv::Mat>* frames = [] {
    auto* out = new std::vector<cv::Mat>();
    for (const char* name : {"face_frame.jpg", "people_frame.jpg"}) {
      cv::Mat still = cv::imread(DataPath(name)), big;
      cv::resize(still, big, cv::Size(1280, 720));
      for (int k = 0; k < 4; ++k) {
        const cv::Mat m = (cv::Mat_<double>(2, 3) << 1, 0, 3 * k, 0, 1, 2 * k);
        cv::Mat shifted;
        cv::warpAffine(big, shifted, m, big.size(), cv::INTER_LINEAR,
                       cv::BORDER_REPLICATE);
        out->push_back(shifted);
      }
    }
    return out;
  }();
  return *frames;
}

Entity Parse(const std::string& text) {
  Entity e;
  google::protobuf::TextFormat::ParseFromString(text, &e);
  return e;
}

Entity FaceModel() {
  Entity model = Parse(R"pb(
    properties { key: "type" value { string_value: "SSD" } }
    properties { key: "version" value { string_value: "1" } }
    properties { key: "engine" value { string_value: "Tensorflow" } }
    properties { key: "content" value { entity_value {
      properties { key: "input_mean_scale" value { array_value {
        values { integer_value: 104 } values { integer_value: 177 }
        values { integer_value: 123 } } } } } } }
    properties { key: "config" value { entity_value {
      properties { key: "confidence_th" value { double_value: 0.7 } } } } })pb");
  auto& content = *(*model.mutable_properties())["content"]
                       .mutable_entity_value()
                       ->mutable_properties();
  content["caffemodel"].set_blob_value(
      ReadData("opencv_face_detector_uint8.pb"));
  content["prototxt"].set_blob_value(ReadData("opencv_face_detector.pbtxt"));
  return model;
}

Entity YoloModel() {
  Entity model = Parse(R"pb(
    properties { key: "type" value { string_value: "YOLO" } }
    properties { key: "version" value { string_value: "1.1" } }
    properties { key: "engine" value { string_value: "Darknet" } }
    properties { key: "content" value { entity_value {
      properties { key: "input_size" value { size_value { width: 320 height: 320 } } }
      properties { key: "input_scale" value { double_value: 0.00392156863 } }
      properties { key: "swap_input_channels" value { boolean_value: true } } } } }
    properties { key: "config" value { entity_value {
      properties { key: "confidence_th" value { double_value: 0.3 } } } } })pb");
  auto& content = *(*model.mutable_properties())["content"]
                       .mutable_entity_value()
                       ->mutable_properties();
  content["caffemodel_file"].set_string_value(
      DataPath("yolo-fastest-1.1_body.weights"));
  content["prototxt_file"].set_string_value(
      DataPath("yolo-fastest-1.1_body.cfg"));
  return model;
}

KestuEyeConfig PipelineConfig(bool optical_flow) {
  KestuEyeConfig config;
  auto& props = *config.mutable_config()->mutable_properties();
  props["use_optical_flow_tracker"].set_boolean_value(optical_flow);
  props["frames_until_detection"].set_integer_value(5);
  return config;
}

using kestu_bench::Clock;
using kestu_bench::ReportPair;
using kestu_bench::Seconds;

void PairedAdapterAgainstBare(benchmark::State& state,
                              SSDDetectorAdapter* adapter, const Entity& model,
                              cv::dnn::Net net, cv::Size size, double scale,
                              cv::Scalar mean, bool swap) {
  adapter->Configure(PipelineConfig(false), model);
  const auto& frames = Frames();
  adapter->Detect(frames[0]);
  const std::vector<cv::String> names = net.getUnconnectedOutLayersNames();
  cv::Mat blob;
  std::vector<cv::Mat> outputs;
  Clock::duration bare{}, wrapped{};
  int64_t n = 0;
  for (auto _ : state) {
    const cv::Mat& frame = frames[n % frames.size()];
    auto t0 = Clock::now();
    cv::dnn::blobFromImage(frame, blob, scale, size, mean, swap, false, CV_32F);
    net.setInput(blob);
    net.forward(outputs, names);
    auto t1 = Clock::now();
    benchmark::DoNotOptimize(adapter->Detect(frame));
    auto t2 = Clock::now();
    bare += t1 - t0;
    wrapped += t2 - t1;
    ++n;
  }
  ReportPair(state, "bare_fps", Seconds(bare), "adapter_fps", Seconds(wrapped),
             n);
}

void BM_PairedSSDFaceAdapterVsBare(benchmark::State& state) {
  const std::string pb = ReadData("opencv_face_detector_uint8.pb");
  const std::string pbtxt = ReadData("opencv_face_detector.pbtxt");
  SSDDetectorAdapter adapter;
  PairedAdapterAgainstBare(
      state, &adapter, FaceModel(),
      cv::dnn::readNet("Tensorflow", std::vector<uchar>(pb.begin(), pb.end()),
                       std::vector<uchar>(pbtxt.begin(), pbtxt.end())),
      cv::Size(400, 225), 1.0, cv::Scalar(104, 177, 123), false);
}
BENCHMARK(BM_PairedSSDFaceAdapterVsBare)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(6.0)
    ->UseRealTime();

void BM_PairedYoloAdapterVsBare(benchmark::State& state) {
  YoloDetectorAdapter adapter;
  PairedAdapterAgainstBare(
      state, &adapter, YoloModel(),
      cv::dnn::readNetFromDarknet(DataPath("yolo-fastest-1.1_body.cfg"),
                                  DataPath("yolo-fastest-1.1_body.weights")),
      cv::Size(416, 256), 1 / 255.0, cv::Scalar(), true);
}
BENCHMARK(BM_PairedYoloAdapterVsBare)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(6.0)
    ->UseRealTime();

// Batches of 16 frames, synchronous Detect then PushFrame/PopDetections on
// two threads (ring of 2), alternately.
void BM_PairedSyncVsAsyncRing(benchmark::State& state) {
  SSDDetectorAdapter adapter;
  adapter.SetTaskRunner(std::make_shared<WorkerPool>("bench-inference"));
  adapter.Configure(PipelineConfig(false), FaceModel());
  const auto& frames = Frames();
  adapter.Detect(frames[0]);
  constexpr int kBatch = 16;
  Clock::duration sync{}, async{};
  int64_t n = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (int i = 0; i < kBatch; ++i)
      benchmark::DoNotOptimize(adapter.Detect(frames[i % frames.size()]));
    auto t1 = Clock::now();
    std::thread consumer([&adapter] {
      for (int i = 0; i < kBatch; ++i)
        benchmark::DoNotOptimize(adapter.PopDetections());
    });
    for (int i = 0; i < kBatch; ++i)
      adapter.PushFrame(frames[i % frames.size()]);
    consumer.join();
    auto t2 = Clock::now();
    sync += t1 - t0;
    async += t2 - t1;
    n += kBatch;
  }
  ReportPair(state, "sync_fps", Seconds(sync), "async_fps", Seconds(async), n);
}
BENCHMARK(BM_PairedSyncVsAsyncRing)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(10.0)
    ->UseRealTime();

// Batches of 10 frames, every frame detected, then optical flow with frames
// until detection 5, alternately.
void BM_PairedEveryFrameVsOpticalFlow(benchmark::State& state) {
  SSDDetectorAdapter every, flow;
  every.Configure(PipelineConfig(false), FaceModel());
  flow.Configure(PipelineConfig(true), FaceModel());
  const auto& frames = Frames();
  constexpr int kBatch = 10;
  Clock::duration plain{}, skipping{};
  int64_t n = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (int i = 0; i < kBatch; ++i)
      benchmark::DoNotOptimize(every.Detect(frames[i % frames.size()]));
    auto t1 = Clock::now();
    for (int i = 0; i < kBatch; ++i)
      benchmark::DoNotOptimize(flow.Detect(frames[i % frames.size()]));
    auto t2 = Clock::now();
    plain += t1 - t0;
    skipping += t2 - t1;
    n += kBatch;
  }
  ReportPair(state, "every_frame_fps", Seconds(plain), "optical_flow_fps",
             Seconds(skipping), n);
}
BENCHMARK(BM_PairedEveryFrameVsOpticalFlow)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(6.0)
    ->UseRealTime();

}  // namespace
}  // namespace talvenrook_vision

BENCHMARK_MAIN();
