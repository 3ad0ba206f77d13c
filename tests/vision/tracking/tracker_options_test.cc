// The tracker's opt-in settings: motion model, IoU association, minimum
// travel, and how they are read.
#include <functional>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "tests/testing/test_util.h"
#include "vision/tracking/tracker.h"

namespace talvenrook_vision {
namespace {

using Boxes = std::vector<cv::Rect>;

// Ids of the confirmed tracks of the last update, in live order.
std::vector<int32_t> ConfirmedIds(Tracker& tracker) {
  std::vector<int32_t> ids;
  for (const Track* track : tracker.GetTracks()) ids.push_back(track->id);
  return ids;
}

Tracker::Parameters WithMotion(bool motion) {
  Tracker::Parameters p;
  p.frames_to_discard = 15;
  if (motion) p.motion_model = Tracker::MotionModel::kConstantVelocity;
  return p;
}

// A person 40 x 100 walking right at 9 pixels per frame, hidden for 10
// frames: the matching distance limit (2 widths) is passed at the gap's
// end, so only a tracker that predicts finds them again.
class CoastingTest : public ::testing::TestWithParam<bool> {};

TEST_P(CoastingTest, PredictionCarriesATrackThroughATenFrameGap) {
  const bool motion = GetParam();
  ManualTrackingClock clock;
  Tracker tracker(&clock);
  tracker.Configure(WithMotion(motion));
  auto box_at = [](int frame) {
    return cv::Rect(20 + 9 * frame, 200, 40, 100);
  };
  int32_t before = -1;
  for (int frame = 0; frame < 20; ++frame) tracker.Update({box_at(frame)});
  ASSERT_EQ(ConfirmedIds(tracker).size(), 1u);
  before = ConfirmedIds(tracker)[0];
  for (int frame = 20; frame < 30; ++frame) {
    tracker.Update({});
    // The coasting prediction is never reported as a detection.
    EXPECT_TRUE(tracker.GetTracks().empty()) << "frame " << frame;
  }
  std::vector<int32_t> after;
  for (int frame = 30; frame < 36; ++frame) {
    tracker.Update({box_at(frame)});
    after = ConfirmedIds(tracker);
  }
  ASSERT_EQ(after.size(), 1u);
  if (motion) {
    EXPECT_EQ(after[0], before);
  } else {
    EXPECT_NE(after[0], before);
  }
}

INSTANTIATE_TEST_SUITE_P(MotionModel, CoastingTest, ::testing::Bool(),
                         [](const auto& info) {
                           return info.param ? std::string("ConstantVelocity")
                                             : std::string("None");
                         });

// Two people side by side step right by 20 pixels. Each new box is nearest
// to the right-hand track, so the mutual-nearest pass pairs only one and
// starts a new track for the other; the optimal assignment by overlap
// keeps both.
TEST(IouAssociationTest, OptimalAssignmentKeepsBothNeighbours) {
  for (const bool iou : {false, true}) {
    ManualTrackingClock clock;
    Tracker tracker(&clock);
    Tracker::Parameters p;
    p.frames_to_count = 1;
    if (iou) p.association = Tracker::Association::kIou;
    tracker.Configure(p);
    tracker.Update({{0, 0, 40, 100}, {30, 0, 40, 100}});
    tracker.Update({{0, 0, 40, 100}, {30, 0, 40, 100}});
    const std::vector<int32_t> ids = ConfirmedIds(tracker);
    tracker.Update({{20, 0, 40, 100}, {50, 0, 40, 100}});
    EXPECT_EQ(tracker.tracks().size(), iou ? 2u : 3u) << "iou " << iou;
    if (iou) {
      EXPECT_EQ(ConfirmedIds(tracker), ids);
    }
  }
}

// Minimum travel: a box that never moves is never confirmed, ended or
// drawn; one that stands still for 100 frames and then walks is reported
// from the frame it has gone 20 pixels.
TEST(MinTravelTest, StillBoxesAreHiddenUntilTheyMove) {
  ManualTrackingClock clock;
  Tracker tracker(&clock);
  Tracker::Parameters p = WithMotion(true);
  p.min_travel = 20;
  tracker.Configure(p);
  const cv::Rect still(400, 300, 30, 60);
  // Box jitter of a few pixels is no travel.
  for (int frame = 0; frame < 300; ++frame) {
    tracker.Update({still + cv::Point(frame % 3, frame % 2)});
    ASSERT_TRUE(tracker.GetTracks().empty()) << "frame " << frame;
  }
  cv::Mat canvas(600, 800, CV_8UC3, cv::Scalar::all(0));
  tracker.Draw(&canvas, true);
  EXPECT_EQ(cv::countNonZero(canvas.reshape(1)), 0);
  for (int frame = 0; frame < 20; ++frame) tracker.Update({});
  EXPECT_TRUE(tracker.EndedTracks().empty() && tracker.tracks().empty());

  const cv::Rect person(100, 300, 30, 60);
  for (int frame = 0; frame < 100; ++frame) {
    tracker.Update({person});
    ASSERT_TRUE(tracker.GetTracks().empty());
  }
  int first_reported = -1;
  for (int step = 1; step <= 10 && first_reported < 0; ++step) {
    tracker.Update({person + cv::Point(5 * step, 0)});
    if (!tracker.GetTracks().empty()) first_reported = step;
  }
  EXPECT_EQ(first_reported, 4);  // 20 pixels after 4 steps of 5
}

// Evidence of life judged by the box's own size: the step at which a box
// is first reported, for still boxes with jitter, a person walking at the
// camera (growing, hardly moving across), one walking across far away
// (small, moving a few pixels a frame), and one who stands, then walks.
TEST(ShowsLifeTest, StillBoxesStayHiddenAndPeopleShowUpByTheirOwnSize) {
  struct Case {
    const char* name;
    int32_t min_travel;
    double growth;
    double relative;
    // The box at step i (from 0).
    std::function<cv::Rect(int)> box;
    int first_reported;  // -1: never within 120 steps
  };
  // Jitter of position and, in one direction at a time, of size.
  const auto jitter = [](int i) {
    return cv::Rect(400 + i % 3, 300 + i % 2, 30 + (i % 5 == 2) * 6,
                    60 + (i % 4) * 2 + (i % 7 == 3) * 12);
  };
  // Grows 2 pixels of height and half a pixel of width a step.
  const auto approach = [](int i) {
    return cv::Rect(300 - i / 4, 200 - 2 * i, 30 + i / 2, 60 + 2 * i);
  };
  // 20 pixels high, 1 pixel a step to the right.
  const auto far_walker = [](int i) { return cv::Rect(100 + i, 50, 8, 20); };
  const auto stands_then_walks = [](int i) {
    return cv::Rect(200 + (i < 60 ? i % 2 : 3 * (i - 60)), 300, 30, 60);
  };
  const std::vector<Case> cases = {
      {"still, growth and relative travel", 0, 0.25, 0.5, jitter, -1},
      {"still, 20 pixels", 20, 0.0, 0.0, jitter, -1},
      {"approach, 20 pixels: late", 20, 0.0, 0.0, approach, 20},
      {"approach, growth", 0, 0.25, 0.0, approach, 16},
      {"approach, growth or 20 pixels", 20, 0.25, 0.0, approach, 16},
      {"far walker, 20 pixels: late", 20, 0.0, 0.0, far_walker, 20},
      {"far walker, relative travel", 0, 0.0, 0.5, far_walker, 10},
      {"stands then walks, relative travel", 0, 0.25, 0.5, stands_then_walks,
       70},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManualTrackingClock clock;
    Tracker tracker(&clock);
    Tracker::Parameters p = WithMotion(true);
    p.min_travel = c.min_travel;
    p.min_growth = c.growth;
    p.min_relative_travel = c.relative;
    tracker.Configure(p);
    int first = -1;
    for (int step = 0; step < 120 && first < 0; ++step) {
      tracker.Update({c.box(step)});
      if (!tracker.GetTracks().empty()) first = step;
    }
    EXPECT_EQ(first, c.first_reported);
  }
}

TEST(TrackerKeysTest, OptInKeysAreReadAndBadValuesKeepTheDefaults) {
  struct Case {
    std::string text;
    Tracker::MotionModel motion;
    Tracker::Association association;
    double iou;
    int32_t travel;
    std::string warning;
  };
  const std::vector<Case> cases = {
      {"", Tracker::MotionModel::kNone, Tracker::Association::kNearest, 0.3, 0,
       ""},
      {R"pb(properties { key: "tracker_motion_model"
                         value { string_value: "constant_velocity" } }
            properties { key: "tracker_association" value { string_value: "iou" } }
            properties { key: "tracker_iou_threshold" value { double_value: 0.5 } }
            properties { key: "tracker_min_travel" value { integer_value: 25 } })pb",
       Tracker::MotionModel::kConstantVelocity, Tracker::Association::kIou, 0.5,
       25, ""},
      {R"pb(properties { key: "tracker_motion_model"
                         value { string_value: "kalman" } })pb",
       Tracker::MotionModel::kNone, Tracker::Association::kNearest, 0.3, 0,
       "Unknown tracker_motion_model \"kalman\""},
      {R"pb(properties { key: "tracker_iou_threshold" value { double_value: 0 } }
            properties { key: "tracker_min_travel" value { integer_value: -5 } })pb",
       Tracker::MotionModel::kNone, Tracker::Association::kNearest, 0.3, 0,
       "tracker_iou_threshold 0 is not in (0, 1]"},
  };
  for (const Case& c : cases) {
    Entity config;
    ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(c.text, &config));
    kestu_testing::StderrCapture capture;
    Tracker tracker;
    tracker.Configure(config);
    const Tracker::Parameters& p = tracker.parameters();
    EXPECT_EQ(p.motion_model, c.motion) << c.text;
    EXPECT_EQ(p.association, c.association) << c.text;
    EXPECT_DOUBLE_EQ(p.iou_threshold, c.iou) << c.text;
    EXPECT_EQ(p.min_travel, c.travel) << c.text;
    if (!c.warning.empty()) {
      EXPECT_TRUE(capture.Contains(c.warning)) << c.text;
    }
  }
}

}  // namespace
}  // namespace talvenrook_vision
