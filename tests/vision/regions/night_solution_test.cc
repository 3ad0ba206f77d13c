#include "vision/regions/night_solution.h"

#include <gtest/gtest.h>

#include "tests/vision/detectors/detector_test_util.h"

namespace talvenrook_vision {
namespace {

using testing_util::ParseEntity;
using testing_util::ReadImage;

KestuEyeConfig HistogramConfig(bool reverse) {
  KestuEyeConfig config;
  *config.mutable_config() = ParseEntity(R"pb(
    properties { key: "use_night_solution" value { boolean_value: true } }
    properties { key: "use_day_night_classifier" value { boolean_value: false } }
    properties { key: "threshold_day_night" value { double_value: 0.25 } })pb");
  (*config.mutable_config()->mutable_properties())["reverse_day_night"]
      .set_boolean_value(reverse);
  return config;
}

// A 50 x 50 frame whose first `dark` pixels (row by row) are grey 62, the
// last grey level below 0.25 x 255, and the rest grey 63.
cv::Mat SplitFrame(int dark) {
  cv::Mat frame(50, 50, CV_8UC3, cv::Scalar(63, 63, 63));
  for (int i = 0; i < dark; ++i)
    frame.at<cv::Vec3b>(i / 50, i % 50) = cv::Vec3b(62, 62, 62);
  return frame;
}

struct JudgeCase {
  int dark_pixels;
  bool reverse;
  int moment;
};

class HistogramJudgeTest : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(HistogramJudgeTest, NightWhenMoreThanHalfIsDark) {
  NightSolution night;
  ASSERT_TRUE(night.Configure(HistogramConfig(GetParam().reverse)).ok());
  EXPECT_EQ(night.Judge(SplitFrame(GetParam().dark_pixels)), GetParam().moment);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, HistogramJudgeTest,
    ::testing::Values(JudgeCase{1300, false, NightSolution::kNight},
                      JudgeCase{1251, false, NightSolution::kNight},
                      JudgeCase{1250, false, NightSolution::kDay},
                      JudgeCase{0, false, NightSolution::kDay},
                      JudgeCase{2500, true, NightSolution::kDay},
                      JudgeCase{0, true, NightSolution::kNight}));

TEST(NightSolutionTest, AreaOfTheFrameIsJudged) {
  KestuEyeConfig config = HistogramConfig(false);
  (*config.mutable_config()->mutable_properties())["day_night_area"] =
      ParseEntity(R"pb(properties { key: "a" value { entity_value {
        properties { key: "x" value { integer_value: 0 } }
        properties { key: "y" value { integer_value: 0 } }
        properties { key: "width" value { integer_value: 100 } }
        properties { key: "height" value { integer_value: 50 } } } } })pb")
          .properties()
          .at("a");
  NightSolution night;
  ASSERT_TRUE(night.Configure(config).ok());
  cv::Mat frame(100, 200, CV_8UC3, cv::Scalar(255, 255, 255));
  frame(cv::Rect(0, 0, 100, 50)).setTo(cv::Scalar(0, 0, 0));
  EXPECT_EQ(night.Judge(frame), NightSolution::kNight);
  EXPECT_EQ(night.MomentText(NightSolution::kNight), "NIGHT");
}

TEST(NightSolutionTest, OffJudgesNothingAndSaysSo) {
  NightSolution night;
  ASSERT_TRUE(night.Configure(KestuEyeConfig()).ok());
  EXPECT_EQ(night.Judge(SplitFrame(2500)), NightSolution::kOff);
  EXPECT_EQ(night.MomentText(NightSolution::kOff), "Night solution: off");
  cv::Mat frame(100, 300, CV_8UC3, cv::Scalar(255, 255, 255));
  night.Draw(frame, NightSolution::kOff);
  // The black box sits in the bottom-right corner.
  EXPECT_EQ(frame.at<cv::Vec3b>(99, 299), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(frame.at<cv::Vec3b>(0, 0), cv::Vec3b(255, 255, 255));
}

KestuEyeConfig ClassifierConfig() {
  KestuEyeConfig config;
  *config.mutable_config() = ParseEntity(R"pb(
    properties { key: "use_night_solution" value { boolean_value: true } })pb");
  *config.add_models() = testing_util::DayNightModel();
  return config;
}

TEST(NightSolutionTest, ClassifierJudgesDayAndNight) {
  NightSolution night;
  ASSERT_TRUE(night.Configure(ClassifierConfig()).ok());
  ASSERT_TRUE(night.has_classifier());
  EXPECT_EQ(night.Judge(ReadImage("face_frame.jpg")), NightSolution::kDay);
  EXPECT_EQ(night.Judge(cv::Mat(60, 80, CV_8UC3, cv::Scalar(20, 20, 20))),
            NightSolution::kNight);
  EXPECT_EQ(night.MomentText(NightSolution::kDay), "DAY");
}

TEST(NightSolutionTest, ClassifierOnlyForCaffeModelsWhenInUse) {
  KestuEyeConfig config = ClassifierConfig();
  (*config.mutable_config()->mutable_properties())["use_day_night_classifier"]
      .set_boolean_value(false);
  NightSolution night;
  ASSERT_TRUE(night.Configure(config).ok());
  EXPECT_FALSE(night.has_classifier());

  config = ClassifierConfig();
  (*config.mutable_models(0)->mutable_properties())["engine"].set_string_value(
      "Caffe");
  ASSERT_TRUE(night.Configure(config).ok());
  EXPECT_FALSE(night.has_classifier());
}

}  // namespace
}  // namespace talvenrook_vision
