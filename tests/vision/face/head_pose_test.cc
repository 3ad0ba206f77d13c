// Facial-normal angles, the pose filter, and the head-pose and eye-gaze
// networks (generated contract networks).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "face_test_util.h"
#include "vision/face/attention/eye_gaze_detector.h"
#include "vision/face/attention/facial_normal.h"
#include "vision/face/attention/head_pose_detector.h"
#include "vision/face/attention/pose_filter.h"

namespace talvenrook_vision {
namespace {

using face_testing::OnnxModel;
using face_testing::ParseEntity;
using face_testing::Solid;
using ::testing::HasSubstr;

// Eyes at (30, 40) and (70, 40), mouth at (50, 80): the nose base lies at
// (50, 58).
std::vector<cv::Point2f> Face(cv::Point2f nose, float left_eye_y = 40) {
  return {{0, 0}, {30, left_eye_y}, {70, 40}, nose, {50, 80}};
}

struct NormalCase {
  const char* name;
  std::vector<cv::Point2f> points;
  double yaw, pitch, roll;
};

class FacialNormalTest : public ::testing::TestWithParam<NormalCase> {};

TEST_P(FacialNormalTest, AnglesOfTheNoseDirection) {
  const HeadAngles a =
      FacialNormalAngles(GetParam().points, FacialModelRatios());
  EXPECT_NEAR(a.yaw, GetParam().yaw, 0.05) << GetParam().name;
  EXPECT_NEAR(a.pitch, GetParam().pitch, 0.05) << GetParam().name;
  EXPECT_NEAR(a.roll, GetParam().roll, 0.05) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Faces, FacialNormalTest,
    ::testing::Values(
        NormalCase{"frontal", Face({50, 58}), 0, 0, 0},
        // Nose 6 px right of its base: slant acos(sqrt(0.91)).
        NormalCase{"right", Face({56, 58}), 17.46, 0, 0},
        NormalCase{"left", Face({44, 58}), -17.46, 0, 0},
        // Nose 2 px below its base, along the face's axis.
        NormalCase{"down", Face({50, 60}), 0, 5.71, 0},
        NormalCase{"up", Face({50, 56}), 0, -5.71, 0},
        // Left eye 4 px lower: the base moves to (50, 59.1), under the nose.
        NormalCase{"tilted", Face({50, 59.1f}, 44), 0, 0, 5.70},
        NormalCase{
            "collapsed", {{0, 0}, {5, 5}, {5, 5}, {5, 5}, {5, 5}}, 0, 0, 0},
        NormalCase{
            "four points", {{0, 0}, {30, 40}, {70, 40}, {56, 58}}, 0, 0, 0}));

class PoseFilterTest : public ::testing::Test {
 protected:
  void Configure(const std::string& text) {
    filter_.Configure(ParseEntity(text));
  }
  void At(int64_t milliseconds) { clock_.SetTicks(milliseconds); }

  ManualTrackingClock clock_{0, 1000.0};
  PoseFilter filter_{&clock_};
};

TEST_F(PoseFilterTest, LookingLimitsAreInclusive) {
  Configure("");
  const struct {
    double yaw, pitch;
    bool looking;
  } cases[] = {
      {20, -15, true}, {-20, 15, true}, {20.5, 0, false}, {0, -15.5, false}};
  for (const auto& c : cases) {
    HeadAngles a;
    a.yaw = c.yaw;
    a.pitch = c.pitch;
    filter_.UpdateFromAngles(1, a);
    EXPECT_EQ(filter_.IsLooking(1), c.looking) << c.yaw << " " << c.pitch;
  }
  Configure(R"pb(properties {
                   key: "gaze_yaw_th"
                   value { integer_value: 25 }
                 })pb");
  HeadAngles a;
  a.yaw = 20.5;
  filter_.UpdateFromAngles(1, a);
  EXPECT_TRUE(filter_.IsLooking(1));
}

TEST_F(PoseFilterTest, LookingTimeCountsWholeHalfAndNothing) {
  Configure("");
  HeadAngles looking, away;
  away.yaw = 45;
  const struct {
    int64_t at_ms;
    HeadAngles angles;
    double total;
  } steps[] = {{1000, looking, 0.0},  // the first update gains nothing
               {1500, looking, 0.5},  // looking in both
               {2000, away, 0.75},    // looking in one
               {2500, away, 0.75},    // in neither
               {3000, looking, 1.0}};
  for (const auto& s : steps) {
    At(s.at_ms);
    filter_.UpdateFromAngles(8, s.angles);
    EXPECT_DOUBLE_EQ(filter_.LookingTime(8), s.total) << s.at_ms;
  }
  EXPECT_TRUE(filter_.Has(8));
  filter_.Forget(8);
  EXPECT_FALSE(filter_.Has(8));
  EXPECT_EQ(filter_.LookingTime(8), 0.0);
}

TEST_F(PoseFilterTest, KalmanSmoothingIsReproducibleAndDampsJumps) {
  Configure("");
  PoseFilter twin(&clock_);
  twin.Configure(Entity());
  std::vector<double> yaws;
  for (int i = 0; i < 6; ++i) {
    const auto points = Face(i < 3 ? cv::Point2f(50, 58) : cv::Point2f(56, 58));
    const HeadAngles a = filter_.UpdateFromPoints(3, points);
    const HeadAngles b = twin.UpdateFromPoints(3, points);
    EXPECT_EQ(a.yaw, b.yaw);
    EXPECT_EQ(a.pitch, b.pitch);
    yaws.push_back(a.yaw);
  }
  EXPECT_EQ(yaws[0], 0.0);  // the first measurement is taken as it is
  EXPECT_NEAR(yaws[2], 0.0, 0.5);
  // The jump to 17.5 degrees is followed only gradually.
  EXPECT_GT(yaws[3], 0.1);
  EXPECT_LT(yaws[3], 10.0);
  EXPECT_GT(yaws[5], yaws[3]);

  Configure(R"pb(properties {
                   key: "pose_use_kalman"
                   value { boolean_value: false }
                 })pb");
  const HeadAngles raw = filter_.UpdateFromPoints(4, Face({56, 58}));
  EXPECT_NEAR(raw.yaw, 17.46, 0.05);
  EXPECT_TRUE(filter_.IsLooking(4));
  EXPECT_EQ(filter_.UpdateFromPoints(4, {{0, 0}, {1, 1}}).yaw, 0.0);
}

// The head-pose contract with scale 1: yaw, pitch and roll are the blue,
// green and red means minus 100.
TEST(HeadPoseDetectorTest, ReadsTheThreeNamedOutputs) {
  HeadPoseDetector detector;
  ASSERT_TRUE(detector.Load(
      OnnxModel("face_head_pose_contract.onnx", "HEAD-POSE", {}, 1.0)));
  HeadAngles angles;
  ASSERT_TRUE(detector.Estimate(Solid(120, 85, 110), &angles));
  EXPECT_FLOAT_EQ(angles.yaw, 20.0);
  EXPECT_FLOAT_EQ(angles.pitch, -15.0);
  EXPECT_FLOAT_EQ(angles.roll, 10.0);
  PoseFilter filter;
  filter.Configure(Entity());
  filter.UpdateFromAngles(1, angles);
  EXPECT_TRUE(filter.IsLooking(1));

  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(detector.Estimate(cv::Mat(), &angles));
  EXPECT_EQ(angles.yaw, 0.0);
  HeadPoseDetector wrong;
  ASSERT_TRUE(
      wrong.Load(OnnxModel("face_binary_classifier.onnx", "HEAD-POSE")));
  EXPECT_FALSE(wrong.Estimate(Solid(1, 2, 3), &angles));
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("did not give angle_y_fc, angle_p_fc and angle_r_fc"));
}

// The eye-gaze contract: gaze = (pitch, yaw + 100 (L - R), 100) with L and
// R the mean brightness (0..1) of the left and right eye crops.
class EyeGazeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gaze_.Load(OnnxModel("face_eye_gaze_contract.onnx", "EYE-GAZE"),
                           0.26, 0.26));
  }
  bool Looking(const cv::Mat& frame, double yaw, double pitch) {
    HeadAngles angles;
    angles.yaw = yaw;
    angles.pitch = pitch;
    return gaze_.IsLooking(frame, face_, angles, points_);
  }

  EyeGazeDetector gaze_;
  const cv::Rect face_{50, 50, 100, 100};
  const std::vector<cv::Point2f> points_{{0, 0}, {80, 90}, {120, 90}};
};

TEST_F(EyeGazeTest, DecisionFromTheGazeVector) {
  const cv::Mat grey(200, 200, CV_8UC3, cv::Scalar::all(128));
  EXPECT_TRUE(Looking(grey, 0, 0));
  EXPECT_TRUE(Looking(grey, 20, 0));    // 20 / 102 = 0.196
  EXPECT_FALSE(Looking(grey, 30, 0));   // 30 / 104 = 0.287
  EXPECT_FALSE(Looking(grey, 0, -30));  // vertical
  ASSERT_EQ(gaze_.last_gaze().size(), 3u);
  EXPECT_NEAR(gaze_.last_gaze()[0], -30.0f, 1e-4);

  cv::Mat bright_left = grey.clone();
  bright_left(cv::Rect(65, 81, 30, 24)).setTo(cv::Scalar::all(255));
  bright_left(cv::Rect(105, 81, 30, 24)).setTo(cv::Scalar::all(0));
  EXPECT_FALSE(Looking(bright_left, 0, 0));
  EXPECT_NEAR(gaze_.last_gaze()[1], 100.0f, 1e-3);
  // The yaw that cancels the eyes' difference.
  EXPECT_TRUE(Looking(bright_left, -100, 0));
}

TEST_F(EyeGazeTest, FacesThatCannotBeJudgedAreNotLooking) {
  const cv::Mat grey(200, 200, CV_8UC3, cv::Scalar::all(128));
  HeadAngles angles;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(
      gaze_.IsLooking(grey, face_, angles, {{0, 0}, {-100, -100}, {120, 90}}));
  EXPECT_FALSE(gaze_.IsLooking(grey, face_, angles, {{0, 0}, {80, 90}}));
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, HasSubstr("ERROR: Eye region outside the frame"));
  EXPECT_THAT(
      log, HasSubstr("ERROR: Eye gaze needs a network and the eye landmarks"));
}

}  // namespace
}  // namespace talvenrook_vision
