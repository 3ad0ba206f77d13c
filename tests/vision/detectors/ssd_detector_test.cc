#include "vision/detectors/ssd_detector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "detector_test_util.h"
#include "vision/detectors/load_ssd_detector.h"

namespace talvenrook_vision {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing_util::DataPath;
using testing_util::FaceSSDModel;
using testing_util::ReadImage;
using testing_util::SubMap;

// The face in face_frame.jpg, located by eye: forehead to chin, ear to ear.
const cv::Rect kFace(285, 70, 80, 95);

double Overlap(const cv::Rect& a, const cv::Rect& b) {
  return static_cast<double>((a & b).area()) / (a | b).area();
}

struct BudgetCase {
  const char* name;
  std::vector<cv::Rect> regions;
  float scale;
  std::vector<cv::Size> inputs;
  bool falls_back;
};

class PixelBudgetTest : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(PixelBudgetTest, SplitsTheBudgetOverTheRegions) {
  const BudgetCase& c = GetParam();
  SSDDetector detector;
  ASSERT_TRUE(
      LoadSSDDetector(&detector, FaceSSDModel(), c.regions, "Tensorflow"));
  ::testing::internal::CaptureStderr();
  detector.Reconfigure(cv::Size(1280, 720), false);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_FLOAT_EQ(detector.scale_factor(), c.scale);
  EXPECT_EQ(detector.PredictorInputSizes(), c.inputs);
  EXPECT_EQ(log.find("ROI is misconfigured. Please review it.\n"
                     "Falling back to full frame\n") != std::string::npos,
            c.falls_back)
      << log;
}

INSTANTIATE_TEST_SUITE_P(
    Regions, PixelBudgetTest,
    ::testing::Values(
        BudgetCase{"WholeFrame", {}, 0.3125f, {{400, 225}}, false},
        BudgetCase{"TwoHalves",
                   {{0, 0, 640, 720}, {640, 0, 640, 720}},
                   0.3125f,
                   {{200, 225}, {200, 225}},
                   false},
        BudgetCase{"TinyRegionFallsBack",
                   {{10, 10, 4, 5}},
                   0.3125f,
                   {{400, 225}},
                   true},
        BudgetCase{
            "RegionCutAtTheFrameEdge",
            {{960, 360, 640, 720}},
            static_cast<float>(std::sqrt(90000.0 / (320 * 360))),  // 0.8839
            {{282, 318}},
            false}),
    [](const auto& info) { return std::string(info.param.name); });

struct DecodeCase {
  const char* name;
  std::vector<float> rows;
  cv::Rect region;
  SizeLimit limit;
  std::vector<cv::Rect> boxes;
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, KeepsRowsAboveTheThresholdThatFit) {
  SSDDetector detector;
  ASSERT_TRUE(detector.LoadFromBytes("", "w", {}, {}, {}, 0.5f, 300, 300,
                                     cv::Scalar(), 1.0f, 3, false, 0,
                                     "Tensorflow"));
  DetectionList out;
  detector.Decode(GetParam().rows, GetParam().region, GetParam().limit, &out);
  EXPECT_EQ(out.boxes, GetParam().boxes);
  EXPECT_EQ(out.labels.size(), out.boxes.size());
  EXPECT_EQ(out.confidences.size(), out.boxes.size());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DecodeTest,
    ::testing::Values(
        // 100 x 200 region at (10, 20): truncated products, +1 sizes.
        DecodeCase{"Kept",
                   {0, 1, 0.9f, 0.1f, 0.1f, 0.5f, 0.6f},
                   {10, 20, 100, 200},
                   {0, SSDDetector::kNoMaximum},
                   {{20, 40, 41, 101}}},
        DecodeCase{"AtTheThresholdDropped",
                   {0, 1, 0.5f, 0.1f, 0.1f, 0.5f, 0.6f},
                   {0, 0, 100, 200},
                   {0, SSDDetector::kNoMaximum},
                   {}},
        DecodeCase{"PartialRowUnread",
                   {0, 1, 0.9f, 0.0f, 0.0f, 0.5f, 0.5f, 0, 1, 0.9f},
                   {0, 0, 100, 100},
                   {0, SSDDetector::kNoMaximum},
                   {{0, 0, 51, 51}}},
        DecodeCase{"WiderThanTheRegionDropped",
                   {0, 1, 0.9f, 0.0f, 0.0f, 1.0f, 0.5f},
                   {0, 0, 100, 100},
                   {0, SSDDetector::kNoMaximum},
                   {}},
        // Mean side (51 + 51) / 2 = 51.
        DecodeCase{"BelowTheMinimumSideDropped",
                   {0, 1, 0.9f, 0.0f, 0.0f, 0.5f, 0.5f},
                   {0, 0, 100, 100},
                   {52, 100},
                   {}},
        DecodeCase{"WithinTheLimits",
                   {0, 1, 0.9f, 0.0f, 0.0f, 0.5f, 0.5f},
                   {0, 0, 100, 100},
                   {51, 51},
                   {{0, 0, 51, 51}}},
        DecodeCase{"ZeroLimitsAcceptAll",
                   {0, 1, 0.9f, 0.0f, 0.0f, 0.5f, 0.5f},
                   {0, 0, 100, 100},
                   {0, 0},
                   {{0, 0, 51, 51}}},
        DecodeCase{"NonFiniteDropped",
                   {0, 1, 0.9f, NAN, 0.0f, 0.5f, 0.5f},
                   {0, 0, 100, 100},
                   {0, SSDDetector::kNoMaximum},
                   {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SSDDetectorTest, LabelBeyondTheListIsTheIndex) {
  SSDDetector detector;
  std::vector<std::string> labels(10, "x");
  labels[3] = "car";
  ASSERT_TRUE(detector.LoadFromBytes("", "w", labels, {}, {}, 0.5f, 300, 300,
                                     cv::Scalar(), 1.0f, 3, false, 0,
                                     "Tensorflow"));
  EXPECT_EQ(detector.Label(3), "car");
  EXPECT_EQ(detector.Label(15), "15");
  EXPECT_EQ(detector.Label(-1), "-1");
}

TEST(SSDDetectorTest, ZeroInputSizeOrTfliteRefuseTheLoad) {
  SSDDetector detector;
  EXPECT_FALSE(detector.LoadFromBytes("", "w", {}, {}, {}, 0.5f, 0, 300,
                                      cv::Scalar(), 1.0f, 3, false, 0,
                                      "Tensorflow"));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(detector.LoadFromBytes("", "w", {}, {}, {}, 0.5f, 300, 300,
                                      cv::Scalar(), 1.0f, 3, false, 0,
                                      "TFLITE"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "ERROR: Support for TFLite is currently disabled\n");
}

TEST(SSDDetectorTest, UnreadableLabelsFileFailsTheLoad) {
  SSDDetector detector;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(detector.LoadFromFiles("n", "w", DataPath("no_labels.txt"), {},
                                      {}, 0.5f, 300, 300, cv::Scalar(), 1.0f, 3,
                                      false, 0, "Tensorflow"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Error opening file: " + DataPath("no_labels.txt") + "\n");
}

struct LoadFailureCase {
  const char* name;
  const char* erase_from_model;
  const char* erase_from_content;
  const char* message;
};

class LoadSSDDetectorFailureTest
    : public ::testing::TestWithParam<LoadFailureCase> {};

TEST_P(LoadSSDDetectorFailureTest, WritesItsLineAndLoadsNothing) {
  Entity model = FaceSSDModel();
  const LoadFailureCase& c = GetParam();
  if (*c.erase_from_model)
    model.mutable_properties()->erase(c.erase_from_model);
  if (*c.erase_from_content)
    SubMap(&model, "content")
        ->mutable_properties()
        ->erase(c.erase_from_content);
  SSDDetector detector;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(LoadSSDDetector(&detector, model, {}, "Tensorflow"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.message);
  EXPECT_TRUE(
      detector.Detect(ReadImage("face_frame.jpg"), false, "").boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Maps, LoadSSDDetectorFailureTest,
    ::testing::Values(
        LoadFailureCase{"NoConfig", "config", "",
                        "Error: Property \"config\" is not configured\n"},
        LoadFailureCase{"NoContent", "content", "",
                        "Error: Property \"content\" is not configured\n"},
        LoadFailureCase{"NoWeights", "", "caffemodel",
                        "Error: Model weights should be set\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SSDDetectorTest, UnreadableNetworkGivesNoDetectionsAndNoException) {
  Entity model = FaceSSDModel();
  testing_util::SetBlob(SubMap(&model, "content"), "caffemodel", "garbage");
  SSDDetector detector;
  // The network is read once at load, so that the failure is the load's.
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(LoadSSDDetector(&detector, model, {}, "Tensorflow"));
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr("ERROR: "));
  EXPECT_THAT(detector.error(), HasSubstr("Failed to parse GraphDef"));
  const DetectionList out =
      detector.Detect(ReadImage("face_frame.jpg"), false, "");
  EXPECT_TRUE(out.boxes.empty());
  EXPECT_FALSE(detector.PushFrame(ReadImage("face_frame.jpg")));
}

class FaceDetectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoadSSDDetector(&detector_, FaceSSDModel(), {}, "Tensorflow"));
    frame_ = ReadImage("face_frame.jpg");
  }

  SSDDetector detector_;
  cv::Mat frame_;
};

TEST_F(FaceDetectionTest, FindsTheFaceSynchronously) {
  const DetectionList out = detector_.Detect(frame_, false, "detection_out");
  ASSERT_EQ(out.boxes.size(), 1u);
  EXPECT_GT(Overlap(out.boxes[0], kFace), 0.6) << out.boxes[0];
  EXPECT_THAT(out.labels, ElementsAre(1));
  EXPECT_GT(out.confidences[0], 0.9f);
  EXPECT_EQ(detector_.Label(out.labels[0]), "face");
}

TEST_F(FaceDetectionTest, RegionsShiftBoxesIntoFramePixels) {
  SSDDetector detector;
  ASSERT_TRUE(LoadSSDDetector(&detector, FaceSSDModel(), {{200, 0, 240, 240}},
                              "Tensorflow"));
  const DetectionList out = detector.Detect(frame_, false, "");
  ASSERT_EQ(out.boxes.size(), 1u);
  EXPECT_GT(Overlap(out.boxes[0], kFace), 0.6) << out.boxes[0];
}

TEST_F(FaceDetectionTest, AsynchronousPathGivesTheSynchronousResult) {
  const DetectionList sync = detector_.Detect(frame_, false, "");
  ASSERT_TRUE(detector_.PushFrame(frame_));
  ASSERT_TRUE(detector_.PushFrame(frame_));
  for (int i = 0; i < 2; ++i) {
    const DetectionList async = detector_.PopDetections();
    EXPECT_EQ(async.boxes, sync.boxes);
    EXPECT_EQ(async.labels, sync.labels);
  }
}

}  // namespace
}  // namespace talvenrook_vision
