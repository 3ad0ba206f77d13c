// The pico cascade, its engine and the pico face detector: the published
// cascade file on frames of the committed face clip, and small cascades
// written here whose every answer is known.
#include <cstring>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "face_test_util.h"
#include "tests/testing/test_util.h"
#include "vision/face/detect/pico_detector_adapter.h"

namespace talvenrook_vision {
namespace {

using face_testing::ClipFrame;
using face_testing::DataPath;
using face_testing::kFaceBox30;
using face_testing::ReadFileBytes;

template <typename T>
void Append(std::string* bytes, T value) {
  bytes->append(reinterpret_cast<const char*>(&value), sizeof(T));
}

// One tree of depth 1: node 1 compares the pixel at (r1, c1) with the one
// at (r2, c2); the window passes on leaf 0 (first pixel brighter).
std::string OneNodeCascade(int8_t r1, int8_t c1, int8_t r2, int8_t c2,
                           float pass_leaf, float threshold) {
  std::string bytes;
  Append(&bytes, 1.0f);
  Append(&bytes, 1.0f);
  Append<int32_t>(&bytes, 1);
  Append<int32_t>(&bytes, 1);
  for (int8_t code : {r1, c1, r2, c2}) Append(&bytes, code);
  Append(&bytes, pass_leaf);
  Append(&bytes, threshold - 1.0f);  // leaf 1 always fails
  Append(&bytes, threshold);
  return bytes;
}

TEST(PicoScalesTest, DefaultListRunsFrom240DownTo30) {
  EXPECT_EQ(PicoEngine::ScaleList(30, 240, 9),
            (std::vector<int32_t>{240, 185, 142, 110, 84, 65, 50, 38, 30}));
  PicoEngine engine;
  engine.Configure(Entity());
  EXPECT_EQ(engine.scales().back(), 30);
  EXPECT_EQ(PicoEngine::ScaleList(40, 40, 1), std::vector<int32_t>{40});
  EXPECT_TRUE(PicoEngine::ScaleList(30, 240, 0).empty());
}

TEST(PicoCascadeTest, PublishedCascadeLoadsWithSquareWindows) {
  PicoCascade cascade;
  ASSERT_TRUE(cascade.Load(ReadFileBytes(DataPath("pico_facefinder"))));
  EXPECT_EQ(cascade.depth(), 6);
  EXPECT_EQ(cascade.tree_count(), 468);
  // The file keeps its version and training box where ratios would be.
  EXPECT_EQ(cascade.height_ratio(), 1.0f);
  EXPECT_EQ(cascade.width_ratio(), 1.0f);
  EXPECT_EQ(cascade.Node(0, 0), cv::Vec4i(0, 0, 0, 0));
  EXPECT_LE(cascade.max_row_offset(), 128);
}

TEST(PicoCascadeTest, MalformedCascadesAreRefused) {
  const std::string good = OneNodeCascade(0, 0, 10, 0, 1.0f, 0.0f);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty", ""},
      {"header only", good.substr(0, 16)},
      {"short table", good.substr(0, good.size() - 1)},
      {"trailing bytes", good + "x"},
      {"depth 40",
       [&] {
         std::string b = good;
         const int32_t depth = 40;
         std::memcpy(&b[8], &depth, 4);
         return b;
       }()},
      {"no trees",
       [&] {
         std::string b = good.substr(0, 16);
         const int32_t trees = 0;
         std::memcpy(&b[12], &trees, 4);
         return b;
       }()},
  };
  for (const auto& [name, bytes] : cases) {
    kestu_testing::StderrCapture capture;
    PicoCascade cascade;
    EXPECT_FALSE(cascade.Load(bytes)) << name;
    EXPECT_TRUE(cascade.empty()) << name;
    EXPECT_TRUE(capture.Contains("ERROR: Pico cascade")) << name;
  }
  PicoCascade cascade;
  EXPECT_TRUE(cascade.Load(good));
}

TEST(PicoCascadeTest, ThresholdShiftAndRotationAdjustTheCascade) {
  PicoCascade cascade;
  ASSERT_TRUE(cascade.Load(OneNodeCascade(10, 0, -20, 5, 1.0f, -2.0f)));
  cascade.ShiftThresholds(0.5);  // t - |t| s: stricter
  EXPECT_FLOAT_EQ(cascade.Threshold(0), -3.0f);
  cascade.ShiftThresholds(0.0);
  EXPECT_FLOAT_EQ(cascade.Threshold(0), -3.0f);
  // A quarter turn: u = 65536, v = 0 (cos truncates to 0).
  cascade.Rotate(CV_PI / 2);
  EXPECT_EQ(cascade.Node(0, 1), cv::Vec4i(0, 10, -5, -20));
  EXPECT_EQ(cascade.max_row_offset(), 5);
  EXPECT_EQ(cascade.max_column_offset(), 20);
  // Fixed point truncates towards zero: (46340 * 10 - 46340 * 0) / 65536.
  PicoCascade eighth;
  ASSERT_TRUE(eighth.Load(OneNodeCascade(10, 0, 0, -10, 1.0f, 0.0f)));
  eighth.Rotate(CV_PI / 4);
  EXPECT_EQ(eighth.Node(0, 1), cv::Vec4i(7, 7, 7, -7));
}

// A black image with one white pixel: only the window centred on it passes
// a cascade that wants its centre brighter than a pixel below it.
cv::Mat OneWhitePixel() {
  cv::Mat grey(200, 200, CV_8UC1, cv::Scalar(0));
  grey.at<uchar>(100, 100) = 255;
  return grey;
}

TEST(PicoEngineTest, ClusterScoreEqualToTheCutoffIsKept) {
  PicoCascade cascade;
  ASSERT_TRUE(cascade.Load(OneNodeCascade(0, 0, 100, 0, 0.1f, 0.0f)));
  PicoEngine::Parameters p;
  p.min_scale = p.max_scale = 30;
  p.number_of_scales = 1;
  p.stride_factor = 1.0 / 30.0;  // every pixel
  p.optimize_scales = false;
  for (const auto& [cutoff, kept] :
       {std::make_pair(0.1, true), std::make_pair(0.1001, false)}) {
    PicoEngine engine;
    p.qcutoff = cutoff;
    engine.Configure(p);
    engine.AddCascade(cascade);
    const auto& found =
        engine.Detect(OneWhitePixel(), {cv::Rect(0, 0, 200, 200)}, true);
    ASSERT_EQ(found.size(), kept ? 1u : 0u) << cutoff;
    if (kept) {
      EXPECT_FLOAT_EQ(found[0].score, 0.1f);
      EXPECT_EQ(found[0].box, cv::Rect(85, 85, 30, 30));
    }
  }
}

TEST(PicoEngineTest, OptimizedScalesFollowTheFacesFound) {
  PicoCascade cascade;
  ASSERT_TRUE(cascade.Load(ReadFileBytes(DataPath("pico_facefinder"))));
  PicoEngine engine;
  PicoEngine::Parameters p;
  p.qcutoff = 10.0;
  engine.Configure(p);
  engine.AddCascade(cascade);
  cv::Mat grey;
  cv::cvtColor(ClipFrame(30), grey, cv::COLOR_BGR2GRAY);
  const std::vector<cv::Rect> whole{cv::Rect(0, 0, grey.cols, grey.rows)};
  // Nothing seen yet: every size.
  ASSERT_EQ(engine.Detect(grey, whole, false).size(), 1u);
  EXPECT_EQ(engine.active_scales(), engine.scales());
  // Then the sizes around the face's, and the face is found again.
  const auto& again = engine.Detect(grey, whole, false);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_LT(engine.active_scales().size(), engine.scales().size());
  EXPECT_GE(engine.active_scales().front(), again[0].box.width);
  EXPECT_LE(engine.active_scales().back(), again[0].box.width);
  // A full scan takes every size.
  engine.Detect(grey, whole, true);
  EXPECT_EQ(engine.active_scales(), engine.scales());
}

TEST(PicoEngineTest, ClustersAreConnectedGroupsOfOverlaps) {
  // a-b overlap, b-c overlap, a-c do not; d stands alone.
  std::vector<PicoDetection> candidates(4);
  candidates[0].box = cv::Rect(0, 0, 10, 10);
  candidates[1].box = cv::Rect(6, 0, 10, 10);
  candidates[2].box = cv::Rect(12, 0, 10, 10);
  candidates[3].box = cv::Rect(100, 100, 10, 10);
  for (size_t i = 0; i < 4; ++i) {
    candidates[i].score = 1.0f + i;
    candidates[i].scale_index = static_cast<int32_t>(i);
  }
  std::vector<PicoDetection> clusters;
  PicoEngine::Cluster(candidates, &clusters);
  ASSERT_EQ(clusters.size(), 2u);
  EXPECT_EQ(clusters[0].box, cv::Rect(6, 0, 10, 10));
  EXPECT_FLOAT_EQ(clusters[0].score, 6.0f);
  EXPECT_EQ(clusters[0].scale_index, 2);  // its best member's
  EXPECT_FLOAT_EQ(clusters[1].score, 4.0f);
}

using face_testing::PicoModel;

TEST(PicoDetectorAdapterTest,
     SearchesTheWholeFrameEvery20thFrameElseOnlyMotion) {
  PicoDetectorAdapter pico;
  KestuEyeConfig config;
  (*config.mutable_config()->mutable_properties())["detector_qcutoff"]
      .set_double_value(10.0);
  ASSERT_TRUE(pico.Load(config, PicoModel()));
  cv::Mat grey;
  cv::cvtColor(ClipFrame(30), grey, cv::COLOR_BGR2GRAY);
  const cv::Rect whole(0, 0, grey.cols, grey.rows);
  for (int64_t n : {0, 20, 40}) {
    const FaceFinds finds = pico.Detect(ClipFrame(30), grey, n);
    const std::vector<cv::Rect>& faces = finds.faces;
    const std::vector<float>& scores = finds.scores;
    EXPECT_EQ(pico.Regions(), std::vector<cv::Rect>{whole}) << n;
    ASSERT_EQ(faces.size(), 1u) << n;
    EXPECT_EQ(scores, std::vector<float>{1.0f});
    // The man's face, enlarged by 1.15 about its centre.
    EXPECT_GT((faces[0] & kFaceBox30).area(), kFaceBox30.area() * 0.7) << n;
  }
  // The same frame again: nothing moved, nothing is searched.
  const FaceFinds still = pico.Detect(ClipFrame(30), grey, 41);
  EXPECT_TRUE(still.faces.empty());
  EXPECT_TRUE(pico.Regions().empty());
  EXPECT_TRUE(still.scores.empty());
}

TEST(PicoDetectorAdapterTest, MissingKeysAreFatalAndABadCascadeFindsNothing) {
  Entity model = PicoModel();
  (*model.mutable_properties())["content"]
      .mutable_entity_value()
      ->mutable_properties()
      ->erase("cascade");
  PicoDetectorAdapter pico;
  EXPECT_THROW(pico.Load(KestuEyeConfig(), model), MissingPropertyError);
  // A cascade of another kind of value reads as empty bytes.
  face_testing::Prop(face_testing::SubMap(&model, "content"), "cascade")
      .set_string_value("not bytes");
  kestu_testing::StderrCapture capture;
  EXPECT_TRUE(pico.Load(KestuEyeConfig(), model));
  EXPECT_TRUE(pico.Detect(ClipFrame(30), cv::Mat(), 20).faces.empty());
}

TEST(PicoDetectorAdapterTest, EnlargesAboutTheCentre) {
  EXPECT_EQ(PicoDetectorAdapter::Enlarge(cv::Rect(100, 100, 100, 100)),
            cv::Rect(92, 92, 115, 115));
}

}  // namespace
}  // namespace talvenrook_vision
