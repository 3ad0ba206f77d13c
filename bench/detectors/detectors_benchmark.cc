// Detector hot paths on 1280 x 720 frames: the SSD and YOLO adapters
// against a bare network loop at the same input size, the asynchronous
// ring against synchronous detection, and optical-flow frame skipping.
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

#include "vision/detectors/ssd_detector_adapter.h"
#include "vision/detectors/yolo_detector_adapter.h"

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
  auto& content =
      *(*model.mutable_properties())["content"].mutable_entity_value()
           ->mutable_properties();
  content["caffemodel"].set_blob_value(ReadData("opencv_face_detector_uint8.pb"));
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
  auto& content =
      *(*model.mutable_properties())["content"].mutable_entity_value()
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

void SetRate(benchmark::State& state, int64_t frames) {
  state.counters["fps"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

// The bare loop: blob, input, forward, at the adapter's input size.
void RunBareLoop(benchmark::State& state, cv::dnn::Net net, cv::Size size,
                 double scale, cv::Scalar mean, bool swap, bool all_outputs) {
  const auto& frames = Frames();
  const std::vector<cv::String> names = net.getUnconnectedOutLayersNames();
  cv::Mat blob;
  std::vector<cv::Mat> outputs;
  int64_t n = 0;
  for (auto _ : state) {
    cv::dnn::blobFromImage(frames[n % frames.size()], blob, scale, size, mean,
                           swap, false, CV_32F);
    net.setInput(blob);
    if (all_outputs) {
      net.forward(outputs, names);
    } else {
      benchmark::DoNotOptimize(net.forward());
    }
    ++n;
  }
  SetRate(state, n);
}

void BM_BareForwardSSDFace(benchmark::State& state) {
  const std::string pb = ReadData("opencv_face_detector_uint8.pb");
  const std::string pbtxt = ReadData("opencv_face_detector.pbtxt");
  cv::dnn::Net net = cv::dnn::readNet(
      "Tensorflow", std::vector<uchar>(pb.begin(), pb.end()),
      std::vector<uchar>(pbtxt.begin(), pbtxt.end()));
  // 1280 x 720 with a 300 x 300 budget: 400 x 225.
  RunBareLoop(state, net, cv::Size(400, 225), 1.0, cv::Scalar(104, 177, 123),
              false, false);
}
BENCHMARK(BM_BareForwardSSDFace)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

void BM_AdapterDetect(benchmark::State& state, SSDDetectorAdapter* adapter,
                      const Entity& model, bool optical_flow) {
  adapter->Configure(PipelineConfig(optical_flow), model);
  const auto& frames = Frames();
  adapter->Detect(frames[0]);  // builds the predictors
  int64_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(adapter->Detect(frames[n % frames.size()]));
    ++n;
  }
  SetRate(state, n);
}

void BM_SSDAdapterDetectSSDFace(benchmark::State& state) {
  SSDDetectorAdapter adapter;
  BM_AdapterDetect(state, &adapter, FaceModel(), false);
}
BENCHMARK(BM_SSDAdapterDetectSSDFace)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

void BM_BareForwardYolo(benchmark::State& state) {
  cv::dnn::Net net = cv::dnn::readNetFromDarknet(
      DataPath("yolo-fastest-1.1_body.cfg"),
      DataPath("yolo-fastest-1.1_body.weights"));
  // 1280 x 720 with a 320 x 320 budget: 426 x 240, rounded to 416 x 256.
  RunBareLoop(state, net, cv::Size(416, 256), 1 / 255.0, cv::Scalar(), true,
              true);
}
BENCHMARK(BM_BareForwardYolo)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

void BM_YoloAdapterDetect(benchmark::State& state) {
  YoloDetectorAdapter adapter;
  BM_AdapterDetect(state, &adapter, YoloModel(), false);
}
BENCHMARK(BM_YoloAdapterDetect)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

// Optical flow with frames until detection 5 against detecting every frame
// (BM_SSDAdapterDetectSSDFace).
void BM_SSDAdapterDetectOpticalFlow(benchmark::State& state) {
  SSDDetectorAdapter adapter;
  BM_AdapterDetect(state, &adapter, FaceModel(), true);
}
BENCHMARK(BM_SSDAdapterDetectOpticalFlow)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0)
    ->UseRealTime();

// PushFrame on this thread, PopDetections on another, ring of 2.
void BM_SSDAdapterAsyncRing(benchmark::State& state) {
  SSDDetectorAdapter adapter;
  adapter.Configure(PipelineConfig(false), FaceModel());  // queue size 2
  const auto& frames = Frames();
  adapter.Detect(frames[0]);
  constexpr int kBatch = 16;
  int64_t n = 0;
  for (auto _ : state) {
    std::thread consumer([&adapter] {
      for (int i = 0; i < kBatch; ++i)
        benchmark::DoNotOptimize(adapter.PopDetections());
    });
    for (int i = 0; i < kBatch; ++i)
      adapter.PushFrame(frames[(n + i) % frames.size()]);
    consumer.join();
    n += kBatch;
  }
  SetRate(state, n);
}
BENCHMARK(BM_SSDAdapterAsyncRing)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

}  // namespace
}  // namespace talvenrook_vision

BENCHMARK_MAIN();
