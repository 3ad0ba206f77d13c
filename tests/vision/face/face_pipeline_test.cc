// The face pipeline: configurations it refuses, the detection schedule and
// filters, track events, entry events, spoof, face features, per-track
// state, and the real models on the committed face clip (synchronous and
// asynchronous). Where a case needs faces at exact frames, a scripted
// detector stands in for the network and the real frame supplies the
// pixels.
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "face_test_util.h"
#include "tests/testing/hand_over.h"
#include "tests/testing/test_util.h"
#include "vision/face/pipeline/face_analytics_video_v1.h"

namespace talvenrook_vision {
namespace {

using face_testing::AlignModel;
using face_testing::ClipFrame;
using face_testing::kFaceBox30;
using face_testing::OnnxModel;
using face_testing::ParseEntity;
using face_testing::Prop;
using face_testing::SsdFaceModel;
namespace v1 = ::talvenrook::vision::v1;

// Faces at the frames a function chooses, with score 0.9.
class ScriptedDetector : public IDetector {
 public:
  using Script = std::function<std::vector<cv::Rect>(int64_t)>;
  explicit ScriptedDetector(Script script, std::vector<int64_t>* runs = nullptr)
      : script_(std::move(script)), runs_(runs) {}

  bool Load(const KestuEyeConfig&, const Entity&) override { return true; }
  FaceFinds Detect(const cv::Mat& frame, const cv::Mat&,
                   int64_t frame_number) override {
    if (runs_ != nullptr) runs_->push_back(frame_number);
    regions_.assign(1, cv::Rect(0, 0, frame.cols, frame.rows));
    FaceFinds finds;
    finds.faces = script_(frame_number);
    finds.scores.assign(finds.faces.size(), 0.9f);
    return finds;
  }
  std::vector<cv::Rect> Regions() const override { return regions_; }

 private:
  Script script_;
  std::vector<int64_t>* runs_;
  std::vector<cv::Rect> regions_;
};

// Points at fixed places of the box (a frontal face), the box as the
// aligned box, confidence 1.
class FixedLandmarks : public MTCNNLandmarkDetector {
 public:
  explicit FixedLandmarks(size_t points = 5) : points_(points) {}
  LandmarkResult Detect(const cv::Mat&, const cv::Mat&,
                        const cv::Rect& box) override {
    LandmarkResult r;
    r.aligned_box = box;
    const float x = static_cast<float>(box.x), y = static_cast<float>(box.y);
    const float w = static_cast<float>(box.width),
                h = static_cast<float>(box.height);
    const cv::Point2f all[] = {{x, y},
                               {x + 0.3f * w, y + 0.4f * h},
                               {x + 0.7f * w, y + 0.4f * h},
                               {x + 0.5f * w, y + 0.6f * h},
                               {x + 0.5f * w, y + 0.8f * h}};
    r.points.assign(all, all + points_);
    return r;
  }

 private:
  size_t points_;
};

KestuEyeConfig Config(const std::string& config_text,
                      std::vector<Entity> extra_models = {}) {
  KestuEyeConfig config;
  *config.mutable_config() = ParseEntity(config_text);
  *config.add_models() = SsdFaceModel();
  *config.add_models() = AlignModel();
  for (Entity& model : extra_models) *config.add_models() = std::move(model);
  return config;
}

std::string BoolProp(const std::string& key, bool value) {
  return "properties { key: \"" + key +
         "\" value { boolean_value: " + (value ? "true" : "false") + " } } ";
}
std::string IntProp(const std::string& key, int64_t value) {
  return "properties { key: \"" + key +
         "\" value { integer_value: " + std::to_string(value) + " } } ";
}

VisionRequest Request(
    std::initializer_list<v1::EnumFacialRecognitionTag> tags) {
  VisionRequest request;
  for (auto tag : tags) request.add_recognition(tag);
  return request;
}

// A pipeline set up from the configuration, then driven by a script.
std::unique_ptr<FaceAnalyticsVideoV1> ScriptedPipeline(
    const KestuEyeConfig& config, ScriptedDetector::Script script,
    std::vector<int64_t>* runs = nullptr, size_t points = 5) {
  auto pipeline = std::make_unique<FaceAnalyticsVideoV1>();
  kestu_testing::StderrCapture quiet;
  EXPECT_TRUE(pipeline->Setup(config).ok());
  pipeline->SetDetector(
      std::make_unique<ScriptedDetector>(std::move(script), runs));
  pipeline->SetLandmarkDetector(std::make_unique<FixedLandmarks>(points));
  return pipeline;
}

const v1::VisionEvent* FindEvent(const VisionResult& result, v1::EventTag tag) {
  for (const auto& e : result.vision_event())
    if (e.tag() == tag) return &e;
  return nullptr;
}

// The results of the first `frames` frames.
std::vector<VisionResult> RunTrack(FaceAnalyticsVideoV1* pipeline,
                                   const VisionRequest& request, int frames) {
  std::vector<VisionResult> results;
  for (int i = 0; i < frames; ++i)
    results.push_back(pipeline->Process(request, ClipFrame(30)));
  return results;
}

TEST(FacePipelineSetupTest, RefusesConfigurationsWithoutDetectorOrLandmarks) {
  struct Case {
    std::string name;
    std::function<KestuEyeConfig()> config;
    bool ready;
  };
  const Case cases[] = {
      {"ssd and align", [] { return Config(""); }, true},
      {"tflite ssd",
       [] {
         KestuEyeConfig c = Config("");
         Prop(c.mutable_models(0), "engine").set_string_value("TFLITE");
         return c;
       },
       false},
      {"no align",
       [] {
         KestuEyeConfig c = Config("");
         c.mutable_models()->RemoveLast();
         return c;
       },
       false},
      {"no detector",
       [] {
         KestuEyeConfig c = Config("");
         c.mutable_models()->DeleteSubrange(0, 1);
         return c;
       },
       false},
      {"ssd without weights",
       [] {
         KestuEyeConfig c = Config("");
         face_testing::SubMap(c.mutable_models(0), "content")
             ->mutable_properties()
             ->erase("caffemodel_file");
         return c;
       },
       false},
      {"pico and align",
       [] {
         KestuEyeConfig c = Config("");
         *c.mutable_models(0) = face_testing::PicoModel();
         return c;
       },
       true},
      // Its blobs alone would take gigabytes.
      {"ssd input of 16384 x 16384",
       [] {
         KestuEyeConfig c = Config("");
         auto* size = Prop(face_testing::SubMap(c.mutable_models(0), "content"),
                           "input_size")
                          .mutable_size_value();
         size->set_width(16384);
         size->set_height(16384);
         return c;
       },
       false},
      {"align input of 16384 x 16384",
       [] {
         KestuEyeConfig c = Config("");
         auto* size = Prop(face_testing::SubMap(c.mutable_models(1), "content"),
                           "input_size")
                          .mutable_size_value();
         size->set_width(16384);
         size->set_height(16384);
         return c;
       },
       false},
  };
  for (const Case& c : cases) {
    FaceAnalyticsVideoV1 pipeline;
    kestu_testing::StderrCapture capture;
    EXPECT_EQ(pipeline.Setup(c.config()).ok(), c.ready) << c.name;
    if (!c.ready) {
      EXPECT_TRUE(capture.Contains("ERROR: ")) << c.name;
    }
  }
}

TEST(FacePipelineSetupTest, PicoWithoutCorrectorKeySetsItToZero) {
  KestuEyeConfig config = Config("");
  *config.mutable_models(0) = face_testing::PicoModel();
  FaceAnalyticsVideoV1 pipeline;
  kestu_testing::StderrCapture quiet;
  ASSERT_TRUE(pipeline.Setup(config).ok());
  EXPECT_EQ(pipeline.settings().face_corrector_th, 0.0);
  Prop(config.mutable_config(), "face_corrector_th").set_double_value(0.5);
  FaceAnalyticsVideoV1 second;
  kestu_testing::StderrCapture capture;
  ASSERT_TRUE(second.Setup(config).ok());
  EXPECT_EQ(second.settings().face_corrector_th, 0.5);
  EXPECT_TRUE(capture.Contains(
      "WARNING: Face corrector threshold is an advanced configuration when "
      "used with Pico Detector. Setting it to: 0.5"));
}

TEST(FacePipelineDetectionTest, DetectorScheduleBySkipFrames) {
  struct Case {
    int skip;
    std::vector<int64_t> runs;
  };
  // 1 runs on every frame, as 0 does: a remainder of 1 after dividing by 1
  // never occurs.
  const Case cases[] = {
      {0, {1, 2, 3, 4, 5, 6, 7}}, {1, {1, 2, 3, 4, 5, 6, 7}}, {3, {1, 4, 7}}};
  for (const Case& c : cases) {
    std::vector<int64_t> runs;
    auto pipeline = ScriptedPipeline(
        Config(IntProp("detector_skip_frames", c.skip)),
        [](int64_t) { return std::vector<cv::Rect>{}; }, &runs);
    for (int i = 0; i < 7; ++i)
      pipeline->Process(VisionRequest(), ClipFrame(30));
    EXPECT_EQ(runs, c.runs) << c.skip;
    EXPECT_EQ(pipeline->detector_runs(), static_cast<int64_t>(c.runs.size()));
  }
}

// With the landmark check off, a face is carried over only where the
// detector did not look (a pico detector searches only where things move).
TEST(FacePipelineDetectionTest,
     UncheckedFacesAreCarriedOnlyWhereNothingWasSearched) {
  class Searching : public ScriptedDetector {
   public:
    explicit Searching(bool searched)
        : ScriptedDetector([](int64_t n) {
            return n == 6 ? std::vector<cv::Rect>{}
                          : std::vector<cv::Rect>{kFaceBox30};
          }),
          searched_(searched) {}
    std::vector<cv::Rect> Regions() const override {
      return searched_ ? std::vector<cv::Rect>{cv::Rect(0, 0, 640, 480)}
                       : std::vector<cv::Rect>{cv::Rect(0, 300, 640, 180)};
    }

   private:
    bool searched_;
  };
  for (bool searched : {true, false}) {
    FaceAnalyticsVideoV1 pipeline;
    kestu_testing::StderrCapture quiet;
    ASSERT_TRUE(
        pipeline
            .Setup(Config("properties { key: \"face_corrector_th\" value { "
                          "double_value: 0 } }"))
            .ok());
    pipeline.SetDetector(std::make_unique<Searching>(searched));
    pipeline.SetLandmarkDetector(std::make_unique<FixedLandmarks>());
    VisionResult result;
    for (int i = 0; i < 6; ++i)
      result = pipeline.Process(VisionRequest(), ClipFrame(30));
    EXPECT_EQ(result.rect_detection_size(), searched ? 0 : 1) << searched;
  }
}

// The is-face check on the grey crop: the contract classifier gives its two
// labels the same score on a grey crop, so the first label wins with the
// crop's mean level (about 0.4 here) as probability.
TEST(FacePipelineDetectionTest, IsFaceCheckPerDetectionOrPerTrack) {
  struct Case {
    std::string name;
    std::vector<std::string> labels;
    double threshold;
    bool delayed;
    int reported;  // faces reported on frame 5
    bool recognition;
  };
  const Case cases[] = {
      {"face wins", {"face", "other"}, 0.0, false, 1, false},
      {"other wins", {"other", "face"}, 0.0, false, 0, false},
      {"below threshold", {"face", "other"}, 0.9, false, 0, false},
      {"per track", {"face", "other"}, 0.0, true, 1, true},
  };
  for (const Case& c : cases) {
    auto pipeline = ScriptedPipeline(
        Config(
            "properties { key: \"is_face_threshold\" value { double_value: " +
                std::to_string(c.threshold) + " } }" +
                BoolProp("enable_delayed_is_face_detection", c.delayed),
            {OnnxModel("face_binary_classifier.onnx", "IS_FACE", c.labels)}),
        [](int64_t) { return std::vector<cv::Rect>{kFaceBox30}; });
    const auto results = RunTrack(pipeline.get(), VisionRequest(), 5);
    ASSERT_EQ(results.back().rect_detection_size(), c.reported) << c.name;
    if (c.reported == 0) continue;
    const auto& d = results.back().rect_detection(0);
    ASSERT_EQ(d.facial_recognition_size(), c.recognition ? 1 : 0) << c.name;
    if (c.recognition) {
      EXPECT_TRUE(d.facial_recognition(0).is_face());
      EXPECT_GT(d.facial_recognition(0).confidence(), 0.1f);
    }
  }
}

TEST(FacePipelineDetectionTest, BoxesOf25PixelsOrLessAreDropped) {
  auto pipeline = ScriptedPipeline(Config(""), [](int64_t) {
    return std::vector<cv::Rect>{cv::Rect(10, 10, 5, 5),
                                 cv::Rect(100, 10, 5, 6)};
  });
  pipeline->Process(VisionRequest(), ClipFrame(30));
  ASSERT_EQ(pipeline->tracker().tracks().size(), 1u);
  EXPECT_EQ(pipeline->tracker().tracks()[0].box, cv::Rect(100, 10, 5, 6));
}

TEST(FacePipelineDetectionTest, PreviousFacesFillAFrameTheDetectorMissed) {
  for (bool combine : {true, false}) {
    auto pipeline = ScriptedPipeline(
        Config(BoolProp("combine_previous_detections", combine)),
        [](int64_t n) {
          return n == 6 ? std::vector<cv::Rect>{}
                        : std::vector<cv::Rect>{kFaceBox30};
        });
    VisionResult result;
    for (int i = 0; i < 6; ++i)
      result = pipeline->Process(VisionRequest(), ClipFrame(30));
    EXPECT_EQ(result.rect_detection_size(), combine ? 1 : 0) << combine;
  }
}

// The face's box is not carried over from one frame to the next, so that a
// face the detector stops finding leaves (the fixed landmarks would
// confirm it for ever).
const std::string kNoCarryOver = BoolProp("combine_previous_detections", false);

TEST(FacePipelineEventsTest, FinalDetectionNeedsTrackerMinFramesHits) {
  for (const auto& [hits, published] :
       {std::make_pair(10, false), std::make_pair(15, true)}) {
    auto pipeline =
        ScriptedPipeline(Config(kNoCarryOver), [hits = hits](int64_t n) {
          return n <= hits ? std::vector<cv::Rect>{kFaceBox30}
                           : std::vector<cv::Rect>{};
        });
    const auto results =
        RunTrack(pipeline.get(), Request({v1::HEAD_POSE}), hits + 16);
    const VisionResult& last = results.back();
    // Dropped once missed on more than 15 frames: on frame hits + 16.
    const v1::VisionEvent* end = FindEvent(last, v1::TRACKING_END);
    ASSERT_NE(end, nullptr) << hits;
    const v1::VisionEvent* start = FindEvent(last, v1::TRACKING_START);
    ASSERT_NE(start, nullptr) << hits;
    EXPECT_EQ(start->tracking_id(), end->tracking_id());
    EXPECT_EQ(last.rect_detection_size(), published ? 1 : 0) << hits;
    if (published) {
      EXPECT_EQ(last.rect_detection(0).tracking_id(), end->tracking_id());
    }
    for (size_t i = 0; i + 1 < results.size(); ++i)
      EXPECT_EQ(results[i].vision_event_size(), 0) << i;
    EXPECT_EQ(pipeline->TrackStateSize(), 0u);
  }
}

TEST(FacePipelineEventsTest, EntryEventFallsDueFramesAfterTheFirstVote) {
  // The track is confirmed (4 hits) and first classified on frame 100.
  auto pipeline =
      ScriptedPipeline(Config(BoolProp("publish_entry_events", true),
                              {face_testing::EmotionModel()}),
                       [](int64_t n) {
                         return n >= 97 ? std::vector<cv::Rect>{kFaceBox30}
                                        : std::vector<cv::Rect>{};
                       });
  const VisionRequest request = Request({v1::EMOTION});
  int64_t sent_at = 0;
  for (int64_t n = 1; n <= 120; ++n) {
    const VisionResult r = pipeline->Process(request, ClipFrame(30));
    if (n == 100) {
      ASSERT_EQ(r.rect_detection_size(), 1);
      EXPECT_EQ(r.rect_detection(0).facial_recognition(0).tag(), v1::EMOTION);
    }
    if (FindEvent(r, v1::TRACKING_START) != nullptr) {
      EXPECT_EQ(sent_at, 0) << "sent twice";
      sent_at = n;
    }
  }
  EXPECT_EQ(sent_at, 116);
}

TEST(FacePipelineEventsTest, SpoofModelWithoutMovementFilterOnlyWarns) {
  for (bool filter : {false, true}) {
    const std::string config =
        filter ? "properties { key: \"detection_movement_filter\" value { "
                 "entity_value { } } }"
               : "";
    FaceAnalyticsVideoV1 probe;
    kestu_testing::StderrCapture capture;
    auto pipeline = ScriptedPipeline(
        Config(config, {OnnxModel("face_binary_classifier.onnx", "SPOOF",
                                  {"real", "spoof"})}),
        [](int64_t) { return std::vector<cv::Rect>{kFaceBox30}; });
    ASSERT_TRUE(
        probe
            .Setup(Config(config, {OnnxModel("face_binary_classifier.onnx",
                                             "SPOOF", {"real", "spoof"})}))
            .ok());
    EXPECT_EQ(
        capture.Contains("WARNING: Anti-spoof detection requires movement "
                         "filter configuration."),
        !filter);
    EXPECT_EQ(pipeline->spoof_checking(), filter);
    int spoof_recognitions = 0;
    for (const VisionResult& r :
         RunTrack(pipeline.get(), Request({v1::SPOOF}), 6)) {
      for (const auto& d : r.rect_detection())
        for (const auto& f : d.facial_recognition())
          spoof_recognitions += f.tag() == v1::SPOOF ? 1 : 0;
    }
    EXPECT_EQ(spoof_recognitions > 0, filter);
  }
}

TEST(FacePipelineEventsTest, FaceFeaturesNeedFiveLandmarks) {
  for (size_t points : {4u, 5u}) {
    auto pipeline = ScriptedPipeline(
        Config(""), [](int64_t) { return std::vector<cv::Rect>{kFaceBox30}; },
        nullptr, points);
    const auto results =
        RunTrack(pipeline.get(), Request({v1::FACE_FEATURES}), 5);
    ASSERT_EQ(results.back().rect_detection_size(), 1);
    const auto& d = results.back().rect_detection(0);
    ASSERT_EQ(d.facial_recognition_size(), points == 5 ? 1 : 0);
    if (points == 5) {
      const auto& f = d.facial_recognition(0).basic_feature();
      // Left eye at (x + 0.3 w, y + 0.4 h) = (308.4, 105.4), rounded.
      EXPECT_EQ(f.left_eye(0).x(), 308);
      EXPECT_EQ(f.left_eye(0).y(), 105);
      EXPECT_EQ(f.mouth(0).x(), 322);
      EXPECT_EQ(f.nose_size(), 1);
      EXPECT_EQ(f.right_eye_size(), 1);
    }
  }
}

// A detector with an inference ring that refuses every third frame; it
// notes the threads its detections and their landmarks ran on.
class RefusingRingDetector : public IDetector {
 public:
  bool Load(const KestuEyeConfig&, const Entity&) override { return true; }
  bool PushesDetections() const override { return true; }
  bool PushDetect(const cv::Mat&, const cv::Mat&, int64_t n) override {
    if (n % 3 == 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    queued_.push_back(n);
    return true;
  }
  FaceFinds PopDetect(const cv::Mat& frame, int64_t n) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      EXPECT_FALSE(queued_.empty());
      if (!queued_.empty()) {
        EXPECT_EQ(queued_.front(), n);
        queued_.pop_front();
      }
    }
    return Found(frame);
  }
  FaceFinds Detect(const cv::Mat& frame, const cv::Mat&, int64_t) override {
    return Found(frame);
  }
  std::vector<cv::Rect> Regions() const override { return regions_; }
  std::vector<std::thread::id> threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

 private:
  FaceFinds Found(const cv::Mat& frame) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      threads_.push_back(std::this_thread::get_id());
    }
    regions_.assign(1, cv::Rect(0, 0, frame.cols, frame.rows));
    FaceFinds finds;
    finds.faces = {kFaceBox30};
    finds.scores = {0.9f};
    return finds;
  }
  std::mutex mutex_;
  std::deque<int64_t> queued_;
  std::vector<std::thread::id> threads_;
  std::vector<cv::Rect> regions_;
};

TEST(FacePipelineAsyncTest, FramesTheRingRefusesAreDetectedOnTheResultThread) {
  auto pipeline = std::make_unique<FaceAnalyticsVideoV1>();
  {
    kestu_testing::StderrCapture quiet;
    ASSERT_TRUE(pipeline->Setup(Config(BoolProp("async_mode", true))).ok());
  }
  auto ring = std::make_unique<RefusingRingDetector>();
  RefusingRingDetector* detector = ring.get();
  pipeline->SetDetector(std::move(ring));
  pipeline->SetLandmarkDetector(std::make_unique<FixedLandmarks>());
  constexpr int kFrames = 30;
  kestu_testing::HandOver<std::unique_ptr<FrameWork>> works(kFrames);
  std::thread producer([&] {
    for (int i = 0; i < kFrames; ++i)
      works.Push(pipeline->Begin(ClipFrame(30), /*ahead=*/true));
  });
  for (int i = 0; i < kFrames; ++i) {
    const VisionResult r =
        pipeline->Finish(works.Pop(), Request({v1::HEAD_POSE}), ClipFrame(30));
    EXPECT_EQ(r.frame_data().id(), static_cast<uint64_t>(i + 1));
  }
  producer.join();
  // Every frame was detected once, refused or not, and always on this
  // thread: the landmark network is never run from two threads at once.
  const std::vector<std::thread::id> threads = detector->threads();
  EXPECT_EQ(threads.size(), static_cast<size_t>(kFrames));
  for (const std::thread::id& id : threads)
    EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_EQ(pipeline->detector_runs(), kFrames);
}

// A detector that finds one person per frame, at x = the frame number, and
// notes the people each frame's TrackExtra is given.
class PeopleDetector : public IDetector {
 public:
  bool Load(const KestuEyeConfig&, const Entity&) override { return true; }
  FaceFinds Detect(const cv::Mat&, const cv::Mat&, int64_t n) override {
    FaceFinds finds;
    finds.people.boxes = {cv::Rect(static_cast<int>(n), 10, 40, 90)};
    finds.people.scores = {0.8f};
    return finds;
  }
  std::vector<cv::Rect> Regions() const override { return {}; }
  void TrackExtra(const cv::Mat&, const cv::Mat&, int64_t n,
                  const FramePeople& people, VisionResult*, Tracker*) override {
    given.emplace_back(n, people.boxes.empty() ? -1 : people.boxes[0].x);
  }
  std::vector<std::pair<int64_t, int>> given;  // (frame, person's x)
};

// The people of a frame go with the frame from the detection step to its
// result step, however many frames are in flight between them.
TEST(FacePipelineAsyncTest, EachResultStepGetsItsOwnFramesPeople) {
  FaceAnalyticsVideoV1 pipeline;
  {
    kestu_testing::StderrCapture quiet;
    ASSERT_TRUE(pipeline.Setup(Config(BoolProp("async_mode", true))).ok());
  }
  auto owned = std::make_unique<PeopleDetector>();
  PeopleDetector* detector = owned.get();
  pipeline.SetDetector(std::move(owned));
  constexpr int kFrames = 20;
  kestu_testing::HandOver<std::unique_ptr<FrameWork>> works(5);
  std::thread producer([&] {
    for (int i = 0; i < kFrames; ++i)
      works.Push(pipeline.Begin(ClipFrame(30), /*ahead=*/true));
  });
  for (int i = 0; i < kFrames; ++i)
    pipeline.Finish(works.Pop(), Request({}), ClipFrame(30));
  producer.join();
  ASSERT_EQ(detector->given.size(), static_cast<size_t>(kFrames));
  for (int i = 0; i < kFrames; ++i) {
    EXPECT_EQ(detector->given[i], (std::pair<int64_t, int>(i + 1, i + 1)));
  }
}

TEST(FacePipelineStateTest, TracksDroppedWithoutEndingLeaveNoState) {
  // The tracker drops tracks below its score threshold without ending
  // them; the pipeline reported them and classified them meanwhile.
  auto pipeline = ScriptedPipeline(
      Config(kNoCarryOver +
                 "properties { key: \"tracker_detection_score_threshold\" "
                 "value { double_value: 0.95 } }",
             {face_testing::EmotionModel()}),
      [](int64_t n) {
        if (n > 60) return std::vector<cv::Rect>{};
        // A new face every 10 frames, at alternating places.
        const int x = (n / 10) % 2 == 0 ? 100 : 400;
        return std::vector<cv::Rect>{cv::Rect(x, 100, 70, 90)};
      });
  int reported = 0;
  for (const VisionResult& r :
       RunTrack(pipeline.get(), Request({v1::EMOTION, v1::HEAD_POSE}), 90)) {
    reported += r.rect_detection_size();
    EXPECT_EQ(FindEvent(r, v1::TRACKING_END), nullptr);
  }
  EXPECT_GT(reported, 20);
  EXPECT_TRUE(pipeline->tracker().tracks().empty());
  EXPECT_EQ(pipeline->TrackStateSize(), 0u);
}

TEST(FacePipelineStateTest, FrameDataCarriesNumberAndSections) {
  auto pipeline = ScriptedPipeline(
      Config(
          BoolProp("monitor_performance", true) +
          "properties { key: \"distance_estimation\" value { entity_value { "
          "properties { key: \"f_over_s\" value { double_value: 900 } } } } }"),
      [](int64_t) { return std::vector<cv::Rect>{kFaceBox30}; });
  const auto results = RunTrack(pipeline.get(), Request({v1::HEAD_POSE}), 5);
  const VisionResult& r = results.back();
  EXPECT_EQ(r.frame_data().id(), 5u);
  EXPECT_FALSE(r.uuid().empty());
  for (const char* section : {"Detection", "Tracking", "Classification"})
    EXPECT_EQ(r.frame_data().sections().count(section), 1u) << section;
  ASSERT_EQ(r.rect_detection_size(), 1);
  // 900 x 0.19 / 68 (the face box clipped to the frame).
  EXPECT_NEAR(r.rect_detection(0).distance(), 900 * 0.19 / 68, 1e-4);
}

}  // namespace
}  // namespace talvenrook_vision
