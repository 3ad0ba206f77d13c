// Face attribute hot paths, per face crop of the committed clip: landmarks,
// every classifier, descriptors, head pose and eye gaze, each against a
// bare cv::dnn::Net forward of the same network on the same crop; the
// facial-normal angles and the pose filter on their own.
//
// The machine is shared, so each comparison runs its two sides alternately
// in one loop. Counters: bare_us and wrapper_us per crop, and ratio = the
// wrapper's rate over the bare rate (1.0 means no overhead).
//
// GENDER, AGE and the TensorFlow descriptor are not committed; their
// benchmarks run when the shared assets folder exists.
//
//   build/bench/face/face_benchmark --benchmark_repetitions=3
//       --benchmark_report_aggregates_only=true  (one command line)
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <google/protobuf/text_format.h>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "vision/face/attention/eye_gaze_detector.h"
#include "vision/face/attention/facial_normal.h"
#include "vision/face/attention/head_pose_detector.h"
#include "vision/face/attention/mtcnn_landmark_detector.h"
#include "vision/face/attention/pose_filter.h"
#include "vision/face/classify/face_classifier_set.h"
#include "vision/face/classify/face_descriptor_detector.h"

namespace talvenrook_vision {
namespace {

using Clock = std::chrono::steady_clock;

// The man's face in frame 30, measured with the SSD face detector.
const cv::Rect kFaceBox(288, 69, 68, 91);

std::string DataPath(const std::string& name) {
  return std::string(KESTU_SOURCE_DIR) + "/tests/data/" + name;
}

std::string SharedPath(const std::string& relative) {
  // The assets folder beside the checkout, or the one KESTU_ASSETS_DIR
  // names.
  const char* assets = std::getenv("KESTU_ASSETS_DIR");
  const std::string path = (assets != nullptr ? std::string(assets)
                                              : std::string(KESTU_SOURCE_DIR) +
                                                    "/../shared/assets") +
                           "/models/" + relative;
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? path : std::string();
}

const cv::Mat& Frame() {
  static const cv::Mat* const frame = [] {
    cv::VideoCapture capture(DataPath("face_asl_again.mkv"));
    cv::Mat f;
    for (int i = 0; i <= 30; ++i) capture.read(f);
    return new cv::Mat(f.clone());
  }();
  return *frame;
}

cv::Mat FaceCrop() { return Frame()(kFaceBox); }

// The 1.4 times larger crop that the TensorFlow face heads expect.
cv::Mat HeadCrop() {
  const int w = kFaceBox.width * 14 / 10, h = kFaceBox.height * 14 / 10;
  return Frame()(cv::Rect(kFaceBox.x - (w - kFaceBox.width) / 2,
                          kFaceBox.y - (h - kFaceBox.height) / 2, w, h));
}

// How the bare side prepares and runs the same network.
struct BareNet {
  cv::dnn::Net net;
  double scale = 1.0;
  cv::Size size;
  cv::Scalar mean;
  bool swap = false;
  bool grey = false;
  std::vector<cv::String> outputs;  // empty: the default output
};

struct BareRun {
  explicit BareRun(BareNet bare_net) : bare_net(std::move(bare_net)) {}
  void operator()(const cv::Mat& crop) {
    const cv::Mat* source = &crop;
    if (bare_net.grey) {
      cv::cvtColor(crop, grey, cv::COLOR_BGR2GRAY);
      source = &grey;
    }
    cv::dnn::blobFromImage(*source, blob, bare_net.scale, bare_net.size,
                           bare_net.mean, bare_net.swap, false, CV_32F);
    bare_net.net.setInput(blob);
    if (bare_net.outputs.empty()) {
      benchmark::DoNotOptimize(bare_net.net.forward());
    } else {
      bare_net.net.forward(outputs, bare_net.outputs);
    }
  }
  BareNet bare_net;
  cv::Mat grey, blob;
  std::vector<cv::Mat> outputs;
};

Entity Parse(const std::string& text) {
  Entity e;
  google::protobuf::TextFormat::ParseFromString(text, &e);
  return e;
}

Value& Prop(Entity* map, const std::string& key) {
  return (*map->mutable_properties())[key];
}

Entity* Content(Entity* model) {
  return Prop(model, "content").mutable_entity_value();
}

// A model map with the geometry of `bare`, over a weights file.
Entity ModelMap(const std::string& engine, const std::string& weights,
                const BareNet& bare, int channels,
                const std::vector<std::string>& labels) {
  Entity model = Parse(R"pb(
    properties {
      key: "config"
      value { entity_value {} }
    })pb");
  Prop(&model, "engine").set_string_value(engine);
  Entity* content = Content(&model);
  Prop(content, "caffemodel_file").set_string_value(weights);
  Prop(content, "input_channels").set_integer_value(channels);
  Prop(content, "input_size").mutable_size_value()->set_width(bare.size.width);
  Prop(content, "input_size")
      .mutable_size_value()
      ->set_height(bare.size.height);
  Prop(content, "input_scale").set_double_value(bare.scale);
  Prop(content, "swap_input_channels").set_boolean_value(bare.swap);
  ArrayValue* mean = Prop(content, "input_mean_scale").mutable_array_value();
  for (int i = 0; i < channels; ++i)
    mean->add_values()->set_double_value(bare.mean[i]);
  ArrayValue* names = Prop(content, "labels").mutable_array_value();
  for (const std::string& l : labels) names->add_values()->set_string_value(l);
  return model;
}

void Report(benchmark::State& state, Clock::duration bare,
            Clock::duration wrapped, int64_t n) {
  const double b = std::chrono::duration<double, std::micro>(bare).count();
  const double w = std::chrono::duration<double, std::micro>(wrapped).count();
  state.counters["bare_us"] = b / n;
  state.counters["wrapper_us"] = w / n;
  state.counters["ratio"] = b / w;
}

// Alternates `bare` and `wrapped`, each `batch` times on the crop, and
// swaps which side goes first from one iteration to the next.
template <typename Bare, typename Wrapped>
void Alternate(benchmark::State& state, int batch, Bare bare, Wrapped wrapped) {
  bare();
  wrapped();
  Clock::duration bare_time{}, wrapped_time{};
  int64_t n = 0;
  for (auto _ : state) {
    const bool bare_first = (n / batch) % 2 == 0;
    for (int side = 0; side < 2; ++side) {
      const bool run_bare = (side == 0) == bare_first;
      const auto t0 = Clock::now();
      for (int i = 0; i < batch; ++i) {
        if (run_bare) {
          bare();
        } else {
          wrapped();
        }
      }
      (run_bare ? bare_time : wrapped_time) += Clock::now() - t0;
    }
    n += batch;
  }
  Report(state, bare_time, wrapped_time, n);
}

// Small networks run in batches of 8 so that timing and jitter weigh less.
int BatchFor(const cv::dnn::Net& net) {
  return net.getLayerNames().size() < 40 ? 8 : 1;
}

template <typename Wrapped>
void Paired(benchmark::State& state, BareRun* bare, const cv::Mat& crop,
            Wrapped wrapped) {
  Alternate(
      state, BatchFor(bare->bare_net.net), [&] { (*bare)(crop); },
      [&] { wrapped(crop); });
}

// One classifier of `type`: ClassifyRegion then Annotate, as the classifier
// set runs it, against the bare network.
void PairedClassifier(benchmark::State& state, const std::string& type,
                      const std::string& engine, const std::string& weights,
                      BareNet bare, const cv::Mat& crop,
                      const std::vector<std::string>& labels) {
  std::unique_ptr<ObjectClassifier> classifier = CreateFaceClassifier(type);
  classifier->Load(Entity(),
                   ModelMap(engine, weights, bare, bare.grey ? 1 : 3, labels));
  if (!classifier->HasModel()) {
    state.SkipWithError("model not loaded");
    return;
  }
  BareRun run(std::move(bare));
  RectangularDetection detection;
  Paired(state, &run, crop, [&](const cv::Mat& c) {
    detection.Clear();
    classifier->ClassifyRegion(c, 1, kFaceBox, false);
    classifier->Annotate(1, &detection, true);
    benchmark::DoNotOptimize(detection.facial_recognition_size());
  });
}

BareNet Onnx(const std::string& file, double scale, cv::Size size = {8, 8}) {
  BareNet bare;
  bare.net = cv::dnn::readNetFromONNX(DataPath(file));
  bare.scale = scale;
  bare.size = size;
  return bare;
}

BareNet TensorflowHead(const std::string& path) {
  BareNet bare;
  bare.net = cv::dnn::readNetFromTensorflow(path);
  bare.size = cv::Size(224, 224);
  bare.swap = true;
  return bare;
}

void BM_Emotion(benchmark::State& state) {
  BareNet bare;
  bare.net = cv::dnn::readNetFromTensorflow(DataPath("emotion.pb"));
  bare.scale = 2.0 / 255.0;
  bare.size = cv::Size(64, 64);
  bare.mean = cv::Scalar(127.5);
  bare.grey = true;
  PairedClassifier(
      state, "EMOTION", "Tensorflow", DataPath("emotion.pb"), std::move(bare),
      FaceCrop(),
      {"angry", "disgust", "fear", "happy", "sad", "surprised", "neutral"});
}

void BM_AgeGender(benchmark::State& state) {
  PairedClassifier(state, "AGE_GENDER", "Tensorflow", DataPath("age_gender.pb"),
                   TensorflowHead(DataPath("age_gender.pb")), HeadCrop(),
                   {"female", "male"});
}

void BM_SharedHead(benchmark::State& state, const std::string& type,
                   const std::string& relative) {
  const std::string path = SharedPath(relative);
  if (path.empty()) {
    state.SkipWithError("not committed; needs the shared assets folder");
    return;
  }
  PairedClassifier(state, type, "Tensorflow", path, TensorflowHead(path),
                   HeadCrop(), {"female", "male"});
}
void BM_Gender(benchmark::State& state) {
  BM_SharedHead(state, "GENDER", "gender/gender.pb");
}
void BM_Age(benchmark::State& state) {
  BM_SharedHead(state, "AGE", "age/age.pb");
}

// The contract classifiers: the binary network for two-label types, the
// channel-mean network for glasses, the MTL contract.
void BM_ContractClassifier(benchmark::State& state, const std::string& type) {
  if (type == "TYPE_GLASS") {
    PairedClassifier(state, type, "ONNX", DataPath("channel_mean.onnx"),
                     Onnx("channel_mean.onnx", 1 / 255.0, {4, 4}), FaceCrop(),
                     {"glasses", "noglasses", "sunglasses"});
  } else if (type == "MTL") {
    PairedClassifier(state, type, "ONNX", DataPath("face_mtl_contract.onnx"),
                     Onnx("face_mtl_contract.onnx", 1 / 255.0), FaceCrop(), {});
  } else {
    PairedClassifier(state, type, "ONNX",
                     DataPath("face_binary_classifier.onnx"),
                     Onnx("face_binary_classifier.onnx", 1 / 255.0), FaceCrop(),
                     {"yes", "no"});
  }
}
void BM_Mtl(benchmark::State& s) { BM_ContractClassifier(s, "MTL"); }
void BM_Glass(benchmark::State& s) { BM_ContractClassifier(s, "TYPE_GLASS"); }
void BM_HaveGlass(benchmark::State& s) {
  BM_ContractClassifier(s, "HAVE_GLASS");
}
void BM_Beard(benchmark::State& s) { BM_ContractClassifier(s, "BEARD"); }
void BM_Mask(benchmark::State& s) { BM_ContractClassifier(s, "MASK"); }
void BM_Spoof(benchmark::State& s) { BM_ContractClassifier(s, "SPOOF"); }

void BM_Landmarks(benchmark::State& state) {
  BareNet bare;
  bare.net = cv::dnn::readNetFromCaffe(DataPath("align_onet.prototxt"),
                                       DataPath("align_onet.caffemodel"));
  bare.scale = 0.0078125;
  bare.size = cv::Size(48, 48);
  bare.mean = cv::Scalar(127.5, 127.5, 127.5);
  bare.swap = true;
  Entity model =
      ModelMap("Caffe", DataPath("align_onet.caffemodel"), bare, 3, {});
  Prop(Content(&model), "prototxt_file")
      .set_string_value(DataPath("align_onet.prototxt"));
  Prop(&model, "version").set_string_value("0.0.2");
  MTCNNLandmarkDetector detector;
  if (!detector.Load(Entity(), model).ok()) {
    state.SkipWithError("the landmark network did not load");
    return;
  }
  BareRun run(std::move(bare));
  const cv::Mat& frame = Frame();
  Paired(state, &run, FaceCrop(), [&](const cv::Mat&) {
    benchmark::DoNotOptimize(detector.Detect(frame, cv::Mat(), kFaceBox));
  });
}

void BM_CaffeDescriptor(benchmark::State& state) {
  BareNet bare;
  bare.net = cv::dnn::readNetFromCaffe(DataPath("thumbdesc128.prototxt"),
                                       DataPath("thumbdesc128.caffemodel"));
  bare.scale = 1.0 / 255.0;
  bare.size = cv::Size(32, 32);
  bare.swap = true;
  Entity model = Parse(R"pb(properties {
                              key: "engine"
                              value { string_value: "Caffe" }
                            })pb");
  Prop(Content(&model), "prototxt_file")
      .set_string_value(DataPath("thumbdesc128.prototxt"));
  Prop(Content(&model), "caffemodel_file")
      .set_string_value(DataPath("thumbdesc128.caffemodel"));
  FaceDescriptorDetector detector;
  detector.Load(Entity(), model);
  BareRun run(std::move(bare));
  RectangularDetection detection;
  Paired(state, &run, FaceCrop(), [&](const cv::Mat& crop) {
    detection.Clear();
    benchmark::DoNotOptimize(detector.Write(&detection, crop));
  });
}

void BM_TensorflowDescriptor(benchmark::State& state) {
  const std::string path = SharedPath("face_descriptor_tf/face_descriptor.pb");
  if (path.empty()) {
    state.SkipWithError("not committed; needs the shared assets folder");
    return;
  }
  BareNet bare = TensorflowHead(path);
  Entity model = ModelMap("Tensorflow", path, bare, 3, {});
  FaceDescriptorDetector detector;
  detector.Load(Entity(), model);
  BareRun run(std::move(bare));
  RectangularDetection detection;
  Paired(state, &run, HeadCrop(), [&](const cv::Mat& crop) {
    detection.Clear();
    benchmark::DoNotOptimize(detector.Write(&detection, crop));
  });
}

void BM_HeadPose(benchmark::State& state) {
  BareNet bare = Onnx("face_head_pose_contract.onnx", 1.0);
  bare.outputs = {"angle_y_fc", "angle_p_fc", "angle_r_fc"};
  HeadPoseDetector detector;
  detector.Load(
      ModelMap("ONNX", DataPath("face_head_pose_contract.onnx"), bare, 3, {}));
  BareRun run(std::move(bare));
  HeadAngles angles;
  Paired(state, &run, FaceCrop(), [&](const cv::Mat& crop) {
    benchmark::DoNotOptimize(detector.Estimate(crop, &angles));
  });
}

// Points of the face in frame 30 as the landmark network gives them.
std::vector<cv::Point2f> FacePoints() {
  return {{290, 72}, {310, 107}, {337, 107}, {323, 122}, {323, 139}};
}

void BM_EyeGaze(benchmark::State& state) {
  BareNet bare_net = Onnx("face_eye_gaze_contract.onnx", 1 / 255.0);
  EyeGazeDetector gaze;
  gaze.Load(ModelMap("ONNX", DataPath("face_eye_gaze_contract.onnx"), bare_net,
                     3, {}),
            0.26, 0.26);
  const cv::Mat& frame = Frame();
  const std::vector<cv::Point2f> points = FacePoints();
  const cv::Rect left = EyeGazeDetector::EyeBox(points[1], kFaceBox.width);
  const cv::Rect right = EyeGazeDetector::EyeBox(points[2], kFaceBox.width);
  const cv::Mat angles = (cv::Mat_<float>(1, 3) << 3, -2, 1);
  cv::Mat lb, rb;
  auto bare = [&] {
    cv::dnn::blobFromImage(frame(left), lb, bare_net.scale, bare_net.size,
                           cv::Scalar(), false, false, CV_32F);
    cv::dnn::blobFromImage(frame(right), rb, bare_net.scale, bare_net.size,
                           cv::Scalar(), false, false, CV_32F);
    bare_net.net.setInput(lb, "left_eye_image");
    bare_net.net.setInput(rb, "right_eye_image");
    bare_net.net.setInput(angles, "head_pose_angles");
    benchmark::DoNotOptimize(bare_net.net.forward());
  };
  HeadAngles head;
  head.yaw = 3;
  head.pitch = -2;
  head.roll = 1;
  Alternate(state, 8, bare, [&] {
    benchmark::DoNotOptimize(gaze.IsLooking(frame, kFaceBox, head, points));
  });
}

void BM_FacialNormalAngles(benchmark::State& state) {
  std::vector<cv::Point2f> points = FacePoints();
  const FacialModelRatios ratios;
  int i = 0;
  for (auto _ : state) {
    points[3].x = 323.0f + static_cast<float>(i++ % 7);
    benchmark::DoNotOptimize(FacialNormalAngles(points, ratios));
  }
}

void BM_PoseFilterFromPoints(benchmark::State& state) {
  PoseFilter filter;
  Entity config;
  Prop(&config, "pose_use_kalman").set_boolean_value(state.range(0) != 0);
  filter.Configure(config);
  std::vector<cv::Point2f> points = FacePoints();
  int i = 0;
  for (auto _ : state) {
    points[3].x = 323.0f + static_cast<float>(i++ % 7);
    benchmark::DoNotOptimize(filter.UpdateFromPoints(1, points));
  }
}

#define FACE_PAIRED(fn, seconds) \
  BENCHMARK(fn)->Unit(benchmark::kMicrosecond)->MinTime(seconds)->UseRealTime()

FACE_PAIRED(BM_Landmarks, 2.0);
FACE_PAIRED(BM_Emotion, 2.0);
FACE_PAIRED(BM_AgeGender, 3.0);
FACE_PAIRED(BM_Gender, 3.0);
FACE_PAIRED(BM_Age, 3.0);
FACE_PAIRED(BM_Mtl, 2.0);
FACE_PAIRED(BM_Glass, 2.0);
FACE_PAIRED(BM_HaveGlass, 2.0);
FACE_PAIRED(BM_Beard, 2.0);
FACE_PAIRED(BM_Mask, 2.0);
FACE_PAIRED(BM_Spoof, 2.0);
FACE_PAIRED(BM_CaffeDescriptor, 2.0);
FACE_PAIRED(BM_TensorflowDescriptor, 3.0);
FACE_PAIRED(BM_HeadPose, 2.0);
FACE_PAIRED(BM_EyeGaze, 2.0);
BENCHMARK(BM_FacialNormalAngles)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PoseFilterFromPoints)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace talvenrook_vision

BENCHMARK_MAIN();
