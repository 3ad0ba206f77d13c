// The face pipeline on the committed face clip (77 frames, 640 x 480) with
// the SSD face detector, landmarks, emotion and age-gender, against a bare
// sequential loop that runs the same networks on the same frames with the
// same classification schedule (every face's first confirmed frame, then
// every 4th frame), and the pico detector alone.
//
//   BM_FacePipeline  bare loop, synchronous pipeline (Process) and
//                    asynchronous pipeline (Begin on one thread, Finish
//                    on another, at most 5 frames in flight),
//                    alternately in one loop, because the machine is
//                    shared: the bare loop and the synchronous pipeline take
//                    turns frame by frame through one pass over the clip,
//                    then the asynchronous pipeline makes its pass.
//                    Counters: frames per second of each, sync/bare and
//                    async/sync. Argument: OpenCV's thread count (0: its
//                    default, one per core).
//   BM_PicoDetect    ms per 640 x 480 frame: "whole" (a 20th frame: the
//                    whole frame is searched), "motion" (consecutive clip
//                    frames: the cells that moved), "still" (the same frame
//                    again: nothing moved, nothing is searched).
//
// Goals: sync/bare at least 0.95; async/sync at least 1.5 on 2 cores.
//
//   build/bench/face/face_pipeline_benchmark 2>/dev/null
#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "tests/testing/hand_over.h"
#include "vision/exec/worker_pool.h"
#include "vision/face/detect/pico_detector_adapter.h"
#include "vision/face/pipeline/face_analytics_video_v1.h"

namespace talvenrook_vision {
namespace {

using Clock = std::chrono::steady_clock;
namespace v1 = ::talvenrook::vision::v1;

constexpr int kClassifyEvery = 4;
constexpr double kDetectionThreshold = 0.7;
constexpr int kMaxFaceSide = 130;

std::string DataPath(const std::string& name) {
  return std::string(KESTU_SOURCE_DIR) + "/tests/data/" + name;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

const std::vector<cv::Mat>& Frames() {
  static const std::vector<cv::Mat>* const frames = [] {
    auto* out = new std::vector<cv::Mat>();
    cv::VideoCapture capture(DataPath("face_asl_again.mkv"));
    cv::Mat f;
    while (capture.read(f)) out->push_back(f.clone());
    return out;
  }();
  return *frames;
}

Value& Prop(Entity* map, const std::string& key) {
  return (*map->mutable_properties())[key];
}

void SetSize(Entity* map, int side) {
  Prop(map, "input_size").mutable_size_value()->set_width(side);
  Prop(map, "input_size").mutable_size_value()->set_height(side);
}

void SetMean(Entity* map, std::initializer_list<double> mean) {
  ArrayValue* values = Prop(map, "input_mean_scale").mutable_array_value();
  for (double m : mean) values->add_values()->set_double_value(m);
}

Entity Model(const std::string& type, const std::string& engine,
             const std::string& version) {
  Entity model;
  Prop(&model, "type").set_string_value(type);
  Prop(&model, "engine").set_string_value(engine);
  Prop(&model, "version").set_string_value(version);
  Prop(&model, "config").mutable_entity_value();
  return model;
}

KestuEyeConfig PipelineConfig(bool async) {
  KestuEyeConfig config;
  Entity* c = config.mutable_config();
  Prop(c, "classification_box_scale").set_double_value(1.4);
  Prop(c, "async_mode").set_boolean_value(async);
  Prop(c, "classification_skip_frames").set_integer_value(kClassifyEvery);

  Entity ssd = Model("SSD-DETECTOR", "Tensorflow", "0.0.1");
  Entity* content = Prop(&ssd, "content").mutable_entity_value();
  Prop(content, "caffemodel_file")
      .set_string_value(DataPath("opencv_face_detector_uint8.pb"));
  Prop(content, "prototxt_file")
      .set_string_value(DataPath("opencv_face_detector.pbtxt"));
  SetMean(content, {104, 177, 123});
  Entity* ssd_config = Prop(&ssd, "config").mutable_entity_value();
  Prop(ssd_config, "confidence_th").set_double_value(kDetectionThreshold);
  Prop(ssd_config, "detector_max_scale").set_integer_value(kMaxFaceSide);
  *config.add_models() = ssd;

  Entity align = Model("ALIGN", "Caffe", "0.0.2");
  content = Prop(&align, "content").mutable_entity_value();
  Prop(content, "prototxt_file")
      .set_string_value(DataPath("align_onet.prototxt"));
  Prop(content, "caffemodel_file")
      .set_string_value(DataPath("align_onet.caffemodel"));
  SetSize(content, 48);
  Prop(content, "input_channels").set_integer_value(3);
  Prop(content, "input_scale").set_double_value(0.0078125);
  Prop(content, "swap_input_channels").set_boolean_value(true);
  SetMean(content, {127.5, 127.5, 127.5});
  *config.add_models() = align;

  Entity emotion = Model("EMOTION", "Tensorflow", "1.0.0");
  content = Prop(&emotion, "content").mutable_entity_value();
  Prop(content, "caffemodel_file").set_string_value(DataPath("emotion.pb"));
  SetSize(content, 64);
  Prop(content, "input_channels").set_integer_value(1);
  Prop(content, "input_scale").set_double_value(2.0 / 255.0);
  SetMean(content, {127.5});
  ArrayValue* labels = Prop(content, "labels").mutable_array_value();
  for (const char* l :
       {"angry", "disgust", "fear", "happy", "sad", "surprised", "neutral"})
    labels->add_values()->set_string_value(l);
  *config.add_models() = emotion;

  Entity age_gender = Model("AGE_GENDER", "Tensorflow", "1.0.0");
  content = Prop(&age_gender, "content").mutable_entity_value();
  Prop(content, "caffemodel_file").set_string_value(DataPath("age_gender.pb"));
  SetSize(content, 224);
  Prop(content, "input_channels").set_integer_value(3);
  Prop(content, "swap_input_channels").set_boolean_value(true);
  labels = Prop(content, "labels").mutable_array_value();
  for (const char* l : {"female", "male"})
    labels->add_values()->set_string_value(l);
  *config.add_models() = age_gender;
  return config;
}

VisionRequest Request() {
  VisionRequest request;
  for (auto tag : {v1::HEAD_POSE, v1::AGE, v1::GENDER, v1::EMOTION})
    request.add_recognition(tag);
  return request;
}

// The same networks driven directly: detection, landmarks for every face,
// and the two classifiers on the pipeline's schedule for one face.
class BareLoop {
 public:
  BareLoop() {
    ssd_ = cv::dnn::readNetFromTensorflow(
        DataPath("opencv_face_detector_uint8.pb"),
        DataPath("opencv_face_detector.pbtxt"));
    align_ = cv::dnn::readNetFromCaffe(DataPath("align_onet.prototxt"),
                                       DataPath("align_onet.caffemodel"));
    emotion_ = cv::dnn::readNetFromTensorflow(DataPath("emotion.pb"));
    age_gender_ = cv::dnn::readNetFromTensorflow(DataPath("age_gender.pb"));
  }

  void Reset() { seen_ = 0; }

  // Frame n (from 1) of a pass; true when the face was classified.
  bool Step(size_t n, const cv::Mat& frame) {
    // The pipeline's input keeps the frame's proportions in a 300 x 300
    // budget: 346 x 259 for 640 x 480.
    const double scale = std::sqrt(300.0 * 300.0 / frame.total());
    const cv::Size size(static_cast<int>(frame.cols * scale),
                        static_cast<int>(frame.rows * scale));
    ssd_.setInput(cv::dnn::blobFromImage(
        frame, 1.0, size, cv::Scalar(104, 177, 123), false, false));
    const cv::Mat rows = ssd_.forward();
    const float* r = rows.ptr<float>();
    bool face = false, classified = false;
    for (int i = 0; i < rows.size[2]; ++i, r += 7) {
      if (!(r[2] > kDetectionThreshold)) continue;
      const cv::Rect box(static_cast<int>(r[3] * frame.cols),
                         static_cast<int>(r[4] * frame.rows),
                         static_cast<int>((r[5] - r[3]) * frame.cols) + 1,
                         static_cast<int>((r[6] - r[4]) * frame.rows) + 1);
      if ((box.width + box.height) / 2 > kMaxFaceSide) continue;
      const cv::Rect clipped = box & cv::Rect(0, 0, frame.cols, frame.rows);
      if (clipped.empty()) continue;
      align_.setInput(
          cv::dnn::blobFromImage(frame(clipped), 0.0078125, cv::Size(48, 48),
                                 cv::Scalar(127.5, 127.5, 127.5), true));
      align_.forward();
      face = true;
      // Confirmed on its 4th frame; classified then and every 4th frame.
      if (seen_ + 1 < 4) continue;
      if (seen_ + 1 != 4 && n % kClassifyEvery != 0) continue;
      const cv::Mat crop = frame(ScaleBoxAboutCentre(clipped, 1.4) &
                                 cv::Rect(0, 0, frame.cols, frame.rows));
      cv::cvtColor(crop, grey_, cv::COLOR_BGR2GRAY);
      emotion_.setInput(cv::dnn::blobFromImage(
          grey_, 2.0 / 255.0, cv::Size(64, 64), cv::Scalar(127.5)));
      emotion_.forward();
      age_gender_.setInput(cv::dnn::blobFromImage(crop, 1.0, cv::Size(224, 224),
                                                  cv::Scalar(), true));
      age_gender_.forward();
      classified = true;
    }
    seen_ += face ? 1 : 0;
    return classified;
  }

 private:
  cv::dnn::Net ssd_, align_, emotion_, age_gender_;
  cv::Mat grey_;
  int seen_ = 0;  // frames with the face so far
};

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// One pass in which the bare loop and the synchronous pipeline take turns
// frame by frame, so that load from elsewhere falls on both alike.
void RunBareAndSync(BareLoop* bare, FaceAnalyticsVideoV1* pipeline,
                    const std::vector<cv::Mat>& frames, double* bare_s,
                    double* sync_s) {
  const VisionRequest request = Request();
  bare->Reset();
  for (size_t n = 1; n <= frames.size(); ++n) {
    auto start = Clock::now();
    benchmark::DoNotOptimize(bare->Step(n, frames[n - 1]));
    *bare_s += Seconds(start);
    start = Clock::now();
    benchmark::DoNotOptimize(pipeline->Process(request, frames[n - 1]));
    *sync_s += Seconds(start);
  }
}

double RunAsync(FaceAnalyticsVideoV1* pipeline,
                const std::vector<cv::Mat>& frames) {
  const VisionRequest request = Request();
  const auto start = Clock::now();
  kestu_testing::HandOver<std::unique_ptr<FrameWork>> works(5);
  std::thread producer([&] {
    for (const cv::Mat& frame : frames)
      works.Push(pipeline->Begin(frame, /*ahead=*/true));
  });
  for (const cv::Mat& frame : frames) {
    benchmark::DoNotOptimize(pipeline->Finish(works.Pop(), request, frame));
  }
  producer.join();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_FacePipeline(benchmark::State& state) {
  const int threads_before = cv::getNumThreads();
  if (state.range(0) > 0) cv::setNumThreads(static_cast<int>(state.range(0)));
  const std::vector<cv::Mat>& frames = Frames();
  BareLoop bare;
  FaceAnalyticsVideoV1 sync, async;
  async.SetTaskRunner(std::make_shared<WorkerPool>("bench-inference"));
  if (!sync.Setup(PipelineConfig(false)).ok() ||
      !async.Setup(PipelineConfig(true)).ok()) {
    state.SkipWithError("pipeline setup failed");
    return;
  }
  // Networks are read and sized on first use.
  double bare_s = 0, sync_s = 0, async_s = 0;
  RunBareAndSync(&bare, &sync, frames, &bare_s, &sync_s);
  RunAsync(&async, frames);
  bare_s = sync_s = 0;
  for (auto _ : state) {
    RunBareAndSync(&bare, &sync, frames, &bare_s, &sync_s);
    async_s += RunAsync(&async, frames);
  }
  const double n = static_cast<double>(state.iterations() * frames.size());
  state.counters["bare_fps"] = n / bare_s;
  state.counters["sync_fps"] = n / sync_s;
  state.counters["async_fps"] = n / async_s;
  state.counters["sync/bare"] = bare_s / sync_s;
  state.counters["async/sync"] = sync_s / async_s;
  cv::setNumThreads(threads_before);
}
BENCHMARK(BM_FacePipeline)
    ->ArgName("cv_threads")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(8);

void BM_PicoDetect(benchmark::State& state) {
  PicoDetectorAdapter pico;
  KestuEyeConfig config;
  Prop(config.mutable_config(), "detector_qcutoff").set_double_value(10.0);
  Entity model = Model("PICOFACE", "PICO", "1");
  Entity* model_config = Prop(&model, "config").mutable_entity_value();
  Prop(model_config, "threshold_shift").set_double_value(0.0);
  Prop(model_config, "rotation").set_double_value(0.0);
  Prop(Prop(&model, "content").mutable_entity_value(), "cascade")
      .set_blob_value(FileBytes(DataPath("pico_facefinder")));
  pico.Load(config, model);
  const std::vector<cv::Mat>& frames = Frames();
  std::vector<cv::Mat> greys(frames.size());
  for (size_t i = 0; i < frames.size(); ++i)
    cv::cvtColor(frames[i], greys[i], cv::COLOR_BGR2GRAY);
  const int mode =
      static_cast<int>(state.range(0));  // 0 whole, 1 motion, 2 still
  size_t i = 0;
  int64_t faces = 0;
  for (auto _ : state) {
    const size_t k = mode == 2 ? 0 : i % greys.size();
    // Whole-frame searches on multiples of 20; 21 is not one.
    const int64_t n = mode == 0 ? 20 * static_cast<int64_t>(i + 1) : 21;
    ++i;
    faces +=
        static_cast<int64_t>(pico.Detect(frames[k], greys[k], n).faces.size());
  }
  state.counters["faces_per_frame"] =
      static_cast<double>(faces) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_PicoDetect)
    ->ArgName("whole0_motion1_still2")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace talvenrook_vision

BENCHMARK_MAIN();
