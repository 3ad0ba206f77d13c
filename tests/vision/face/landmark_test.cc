// MTCNNLandmarkDetector over the landmark contract network: fixed points
// and box regression, and the mean of the crop's left and right halves as
// o[14] and o[15] (o[15] is the confidence).
#include "vision/face/attention/mtcnn_landmark_detector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "face_test_util.h"

namespace talvenrook_vision {
namespace {

using face_testing::OnnxModel;
using face_testing::ParseEntity;
using ::testing::HasSubstr;
using Layout = MTCNNLandmarkDetector::OutputLayout;

Entity ContractModel(const std::string& version) {
  Entity model = OnnxModel("face_landmark_contract.onnx", "ALIGN");
  face_testing::Prop(&model, "version").set_string_value(version);
  return model;
}

Entity StandardAlignment(bool on) {
  Entity config;
  (*config.mutable_properties())["use_std_align_box"].set_boolean_value(on);
  return config;
}

class LandmarkTest : public ::testing::Test {
 protected:
  void Load(const std::string& version, bool std_align) {
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(
        detector_.Load(StandardAlignment(std_align), ContractModel(version))
            .ok());
    log_ = ::testing::internal::GetCapturedStderr();
  }
  LandmarkResult Detect(const cv::Rect& box) {
    return detector_.Detect(frame_, cv::Mat(), box);
  }

  cv::Mat frame_ = cv::Mat(200, 300, CV_8UC3, cv::Scalar::all(255));
  MTCNNLandmarkDetector detector_;
  std::string log_;
};

TEST_F(LandmarkTest, LoadWritesItsLinesAndPicksTheLayoutByVersion) {
  Load("0.0.2", true);
  EXPECT_THAT(log_, HasSubstr("Loading MTCNNLandmarkDetector\n"));
  EXPECT_THAT(log_, HasSubstr("Standard alignment: 1\n"));
  EXPECT_EQ(detector_.layout(), Layout::kPlanar);
  Load("0.0.1", false);
  EXPECT_THAT(log_, HasSubstr("Standard alignment: 0\n"));
  EXPECT_EQ(detector_.layout(), Layout::kInterleaved);
}

struct LayoutCase {
  std::string version;
  std::vector<cv::Point2f> points;  // left eye, right eye, nose, mouth
};

class LandmarkLayoutTest : public LandmarkTest,
                           public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(LandmarkLayoutTest, DecodesPointsAndRegressedBox) {
  Load(GetParam().version, false);
  const LandmarkResult result = Detect(cv::Rect(100, 50, 80, 100));
  ASSERT_EQ(result.points.size(), 5u);
  EXPECT_EQ(result.aligned_box, cv::Rect(104, 60, 72, 80));
  EXPECT_EQ(result.points[0], cv::Point2f(104, 60));
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(result.points[i + 1].x, GetParam().points[i].x, 1e-3) << i;
    EXPECT_NEAR(result.points[i + 1].y, GetParam().points[i].y, 1e-3) << i;
  }
  EXPECT_NEAR(result.confidence, 1.0f, 1e-5);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, LandmarkLayoutTest,
    ::testing::Values(
        LayoutCase{"0.0.2", {{124, 90}, {156, 92}, {140, 110}, {140, 129}}},
        LayoutCase{"0.0.1",
                   {{124, 120}, {140, 85}, {152, 90}, {148.8f, 119}}}));

TEST_F(LandmarkTest, StandardAlignmentMakesASquareAroundEyesAndMouth) {
  Load("0.0.2", true);
  // Eyes' midpoint (140, 91), mouth (140, 129): side 2.2 x 38 = 83.6.
  const LandmarkResult result = Detect(cv::Rect(100, 50, 80, 100));
  EXPECT_EQ(result.aligned_box, cv::Rect(98, 66, 83, 83));
  EXPECT_EQ(result.points[0], cv::Point2f(98, 66));
}

TEST_F(LandmarkTest, BoxHalfOutsideIsPaddedWithBlackInPlace) {
  Load("0.0.2", false);
  // Right half outside: the crop's right half (o[15]) is black.
  EXPECT_NEAR(Detect(cv::Rect(260, 50, 80, 100)).confidence, 0.0f, 1e-5);
  // Left half outside: the visible part stays on the right.
  EXPECT_NEAR(Detect(cv::Rect(-40, 50, 80, 100)).confidence, 1.0f, 1e-5);

  cv::Mat scratch;
  const cv::Mat crop = MTCNNLandmarkDetector::CropWithPadding(
      frame_, cv::Rect(260, -20, 80, 100), &scratch);
  ASSERT_EQ(crop.size(), cv::Size(80, 100));
  EXPECT_EQ(cv::countNonZero(crop.reshape(1)), 40 * 80 * 3);
  EXPECT_EQ(crop.at<cv::Vec3b>(19, 0), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(crop.at<cv::Vec3b>(20, 39), cv::Vec3b(255, 255, 255));
  EXPECT_EQ(crop.at<cv::Vec3b>(20, 40), cv::Vec3b(0, 0, 0));
  // A box inside the frame is a view, not a copy.
  const cv::Mat inside = MTCNNLandmarkDetector::CropWithPadding(
      frame_, cv::Rect(10, 10, 20, 20), &scratch);
  EXPECT_EQ(inside.data, frame_.ptr(10, 10));
}

TEST_F(LandmarkTest, UnusableInputGivesAnErrorAndNoPoints) {
  Load("0.0.2", true);
  const struct {
    cv::Rect box;
    const char* message;
  } cases[] = {{cv::Rect(400, 50, 80, 100), "has no part inside the frame"},
               {cv::Rect(10, 10, 0, 30), "has no part inside the frame"}};
  for (const auto& c : cases) {
    ::testing::internal::CaptureStderr();
    const LandmarkResult result = Detect(c.box);
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr(c.message));
    EXPECT_TRUE(result.points.empty());
    EXPECT_EQ(result.confidence, 0.0f);
  }
  // One pixel wide is still a crop.
  EXPECT_EQ(Detect(cv::Rect(10, 10, 1, 30)).points.size(), 5u);
}

TEST_F(LandmarkTest, OutputShorterThanSixteenValuesIsAnError) {
  MTCNNLandmarkDetector detector;
  ::testing::internal::CaptureStderr();
  // The MTL contract gives 10 values.
  Entity model = OnnxModel("face_mtl_contract.onnx", "ALIGN");
  face_testing::Prop(&model, "version").set_string_value("0.0.2");
  ASSERT_TRUE(detector.Load(Entity(), model).ok());
  const LandmarkResult result =
      detector.Detect(frame_, cv::Mat(), cv::Rect(100, 50, 80, 100));
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("ERROR: The landmark network gave 10 values where 16 "
                        "are needed"));
  EXPECT_TRUE(result.points.empty());
  EXPECT_EQ(result.confidence, 0.0f);
  EXPECT_EQ(result.aligned_box, cv::Rect(100, 50, 80, 100));
}

}  // namespace
}  // namespace talvenrook_vision
