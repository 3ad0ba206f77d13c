#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "vision/tracking/motion_grid.h"
#include "vision/tracking/movement_filter.h"

namespace talvenrook_vision {
namespace {

Entity Parse(const std::string& text) {
  Entity entity;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &entity));
  return entity;
}

struct GridCase {
  std::string name;
  cv::Size frame;
  cv::Rect changed;  // region brightened in the second frame
  std::vector<cv::Rect> first;
  std::vector<cv::Rect> second;
};

class MotionGridTest : public ::testing::TestWithParam<GridCase> {};

TEST_P(MotionGridTest, CellsThatMoved) {
  const GridCase& c = GetParam();
  MotionGrid grid;
  grid.Configure(Entity());
  cv::Mat frame(c.frame, CV_8UC1, cv::Scalar(100));
  EXPECT_EQ(grid.Boxes(frame), c.first);
  frame(c.changed).setTo(200);
  EXPECT_EQ(grid.Boxes(frame), c.second);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, MotionGridTest,
    ::testing::Values(GridCase{"UnchangedFrame",
                               {640, 480},
                               {0, 0, 0, 0},
                               {{0, 0, 320, 240},
                                {320, 0, 320, 240},
                                {0, 240, 320, 240},
                                {320, 240, 320, 240}},
                               {}},
                      // (330, 250) is a sampled pixel of the bottom-right cell.
                      GridCase{"OneSampleChanged",
                               {640, 480},
                               {330, 250, 1, 1},
                               {{0, 0, 320, 240},
                                {320, 0, 320, 240},
                                {0, 240, 320, 240},
                                {320, 240, 320, 240}},
                               {{320, 240, 320, 240}}},
                      GridCase{"UnsampledPixelChanged",
                               {640, 480},
                               {335, 255, 1, 1},
                               {{0, 0, 320, 240},
                                {320, 0, 320, 240},
                                {0, 240, 320, 240},
                                {320, 240, 320, 240}},
                               {}},
                      // 701 / (701 / 240) = 350: column 700 belongs to no cell.
                      GridCase{"RemainderColumnBelongsToNoCell",
                               {701, 200},
                               {700, 0, 1, 200},
                               {{0, 0, 350, 200}, {350, 0, 350, 200}},
                               {}},
                      GridCase{"SmallFrameIsOneCell",
                               {200, 100},
                               {0, 0, 200, 100},
                               {{0, 0, 200, 100}},
                               {{0, 0, 200, 100}}}),
    [](const auto& info) { return info.param.name; });

TEST(MotionGridConfigTest, KeysThresholdAndResize) {
  MotionGrid grid;
  grid.Configure(Parse(
      R"pb(properties { key: "motion_sampling_step" value { integer_value: 0 } }
           properties { key: "motion_diff_threshold" value { integer_value: 100 } }
           properties { key: "motion_box_size" value { integer_value: 100 } })pb"));
  EXPECT_EQ(grid.sampling_step(), 1);
  cv::Mat frame(200, 200, CV_8UC1, cv::Scalar(100));
  EXPECT_EQ(grid.Boxes(frame).size(), 4u);
  frame.at<uchar>(150, 150) = 200;  // difference 100 is not above 100
  EXPECT_TRUE(grid.Boxes(frame).empty());
  frame.at<uchar>(150, 150) = 99;  // 101 below the previous frame
  EXPECT_EQ(grid.Boxes(frame), (std::vector<cv::Rect>{{100, 100, 100, 100}}));
  cv::Mat larger(300, 300, CV_8UC1, cv::Scalar(100));
  EXPECT_EQ(grid.Boxes(larger).size(), 9u);  // size changed: every cell
}

TEST(BackgroundSubtractorTest, CreatesByName) {
  EXPECT_FALSE(CreateBackgroundSubtractor("MOG2", 100, 16, false).empty());
  auto knn = CreateBackgroundSubtractor("KNN", 100, 4, false)
                 .dynamicCast<cv::BackgroundSubtractorKNN>();
  ASSERT_FALSE(knn.empty());
  EXPECT_EQ(knn->getDist2Threshold(), 16.0);
  std::ostringstream captured;
  std::streambuf* saved = std::cerr.rdbuf(captured.rdbuf());
  EXPECT_TRUE(CreateBackgroundSubtractor("GMG", 100, 16, false).empty());
  std::cerr.rdbuf(saved);
  EXPECT_EQ(captured.str(), "Unknow method GMG\n");
}

struct MovingCase {
  std::string name;
  std::string config;
  std::vector<cv::Rect> rois;
  int changed_rows;  // rows of the 100 x 100 box turned bright
  bool moving;
};

class MovementFilterTest : public ::testing::TestWithParam<MovingCase> {};

// A still background, then a bright band across the top of the box at
// (200, 200, 100, 100).
TEST_P(MovementFilterTest, ForegroundShareAgainstFraction) {
  const MovingCase& c = GetParam();
  MovementFilter filter;
  filter.Configure(Parse(c.config), c.rois);
  const cv::Rect box(200, 200, 100, 100);
  const cv::Rect outside(10, 10, 20, 20);
  cv::Mat frame(480, 640, CV_8UC1, cv::Scalar(60));
  for (int i = 0; i < 30; ++i) filter.Moving(frame, {box, outside}, 0.15);
  frame(cv::Rect(box.x, box.y, box.width, c.changed_rows)).setTo(250);
  const std::vector<bool> flags = filter.Moving(frame, {box, outside}, 0.15);
  EXPECT_EQ(flags, (std::vector<bool>{c.moving, false}));
}

const char kNoScale[] =
    R"pb(properties { key: "scale_factor" value { double_value: 0 } })pb";

INSTANTIATE_TEST_SUITE_P(
    Shares, MovementFilterTest,
    ::testing::Values(
        MovingCase{"FourteenPercentIsStill", kNoScale, {}, 14, false},
        MovingCase{"FifteenPercentMoves", kNoScale, {}, 15, true},
        // Halved: the box is 50 x 50 in the mask, the band 10 rows of it.
        MovingCase{"ScaledDefault", "", {}, 20, true},
        MovingCase{
            "BoxOutsideEveryRoi", kNoScale, {{0, 0, 150, 150}}, 50, false},
        MovingCase{"BoxInsideSecondRoi",
                   kNoScale,
                   {{0, 0, 150, 150}, {150, 150, 300, 300}},
                   50,
                   true},
        MovingCase{
            "RoiPastTheFrameEdge", kNoScale, {{100, 100, 900, 900}}, 50, true},
        MovingCase{
            "ErosionRemovesThinBands",
            R"pb(properties { key: "scale_factor" value { double_value: 0 } }
                        properties { key: "morphologic_factor" value { integer_value: 5 } })pb",
            {},
            2,
            false}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace talvenrook_vision
