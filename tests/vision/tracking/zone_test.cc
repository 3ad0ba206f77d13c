#include "vision/tracking/zone.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vision/tracking/area.h"
#include "vision/tracking/speed_estimator.h"

namespace talvenrook_vision {
namespace {

TEST(ZoneGeometryTest, BandCornersAndLineSides) {
  // Left to right: the first line lies below the counting line.
  const Zone flat({0, 100}, {200, 100}, 20, "flat");
  EXPECT_EQ(flat.corner0(), cv::Point(0, 110));
  EXPECT_EQ(flat.corner3(), cv::Point(200, 110));
  EXPECT_EQ(flat.corner1(), cv::Point(0, 90));
  EXPECT_EQ(flat.corner2(), cv::Point(200, 90));
  // 45 degrees: corners truncated towards zero.
  const Zone diagonal({0, 0}, {100, 100}, 20, "diagonal");
  EXPECT_EQ(diagonal.corner0(), cv::Point(-7, 7));
  EXPECT_EQ(diagonal.corner1(), cv::Point(7, -7));
  EXPECT_EQ(diagonal.corner2(), cv::Point(107, 92));
  EXPECT_EQ(diagonal.corner3(), cv::Point(92, 107));
}

struct SegmentCase {
  std::string name;
  cv::Point p1, q1, p2, q2;
  bool intersect;
};

class SegmentTest : public ::testing::TestWithParam<SegmentCase> {};

TEST_P(SegmentTest, IntersectsSymmetrically) {
  const SegmentCase& c = GetParam();
  EXPECT_EQ(SegmentsIntersect(c.p1, c.q1, c.p2, c.q2), c.intersect);
  EXPECT_EQ(SegmentsIntersect(c.p2, c.q2, c.p1, c.q1), c.intersect);
}

INSTANTIATE_TEST_SUITE_P(
    Segments, SegmentTest,
    ::testing::Values(
        SegmentCase{"Crossing", {0, 0}, {10, 10}, {0, 10}, {10, 0}, true},
        SegmentCase{"Parallel", {0, 0}, {10, 0}, {0, 5}, {10, 5}, false},
        SegmentCase{"TouchingEnd", {0, 0}, {10, 0}, {10, 0}, {10, 10}, true},
        SegmentCase{"EndOnSegment", {0, 0}, {10, 0}, {5, 0}, {5, 10}, true},
        SegmentCase{"CollinearOverlap", {0, 0}, {10, 0}, {5, 0}, {15, 0}, true},
        SegmentCase{"CollinearApart", {0, 0}, {4, 0}, {5, 0}, {15, 0}, false},
        SegmentCase{"ShortOfTheLine", {0, 0}, {10, 0}, {5, 1}, {5, 10}, false}),
    [](const auto& info) { return info.param.name; });

struct CrossingCase {
  std::string name;
  bool repeat;
  std::vector<cv::Point> path;
  std::vector<int> codes;
};

class ZoneCrossingTest : public ::testing::TestWithParam<CrossingCase> {};

// Band from y 90 (second line) to y 110 (first line), x 0 to 200.
TEST_P(ZoneCrossingTest, CodesAlongThePath) {
  const CrossingCase& c = GetParam();
  Zone zone({0, 100}, {200, 100}, 20, "z", c.repeat);
  std::vector<int> codes;
  for (const cv::Point& p : c.path) codes.push_back(zone.Check(5, p));
  EXPECT_EQ(codes, c.codes);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ZoneCrossingTest,
    ::testing::Values(
        CrossingCase{"Forward",
                     false,
                     {{100, 130}, {100, 105}, {100, 95}, {100, 80}, {100, 60}},
                     {5, 3, 3, 0, 6}},
        CrossingCase{"Backward",
                     false,
                     {{100, 70}, {100, 95}, {100, 105}, {100, 130}, {100, 150}},
                     {5, 2, 2, 1, 6}},
        CrossingCase{"JumpForward", false, {{100, 130}, {100, 70}}, {5, 0}},
        CrossingCase{"JumpBackward", false, {{100, 70}, {100, 130}}, {5, 1}},
        CrossingCase{
            "TurnBackThenCross",
            false,
            {{100, 130}, {100, 105}, {100, 130}, {100, 105}, {100, 80}},
            {5, 3, 3, 3, 0}},
        CrossingCase{"CrossBackNeverCountsTwice",
                     false,
                     {{100, 130}, {100, 70}, {100, 130}, {100, 70}},
                     {5, 0, 6, 6}},
        CrossingCase{"RepeatCountsEachCrossing",
                     true,
                     {{100, 130}, {100, 70}, {100, 130}, {100, 70}},
                     {5, 0, 1, 0}},
        // Jitter of the box at a line is the usual way a counter counts
        // twice: with repeat on, only full passes through the band count.
        CrossingCase{"RepeatDitherInsideTheBandCountsNothing",
                     true,
                     {{100, 130},
                      {100, 105},
                      {100, 95},
                      {100, 105},
                      {100, 95},
                      {100, 105}},
                     {5, 3, 3, 3, 3, 3}},
        CrossingCase{"RepeatDitherAfterACrossingThenComeBack",
                     true,
                     {{100, 130},
                      {100, 70},
                      {100, 95},
                      {100, 80},
                      {100, 95},
                      {100, 80},
                      {100, 95},
                      {100, 130}},
                     {5, 0, 2, 2, 2, 2, 2, 1}},
        CrossingCase{"RepeatFirstSeenInsideCountsTheNextPass",
                     true,
                     {{100, 100}, {100, 80}, {100, 130}, {100, 70}},
                     {4, 5, 1, 0}},
        CrossingCase{"FirstSeenInsideNeverCounts",
                     false,
                     {{100, 100}, {100, 80}, {100, 130}},
                     {4, 4, 4}},
        CrossingCase{
            "PassingBesideTheBand", false, {{250, 130}, {250, 70}}, {5, 5}}),
    [](const auto& info) { return info.param.name; });

// A person whose track breaks in the band and goes on as a new one counts
// once with the hand-over on (as if one track had gone through), and as
// before without it. The line runs left to right at y 300 with a band of
// 40: forward is upward, from y 320 across y 280.
TEST(ZoneHandOverTest, APassThatChangesTrackCountsOnce) {
  struct Step {
    char track;  // 'A', 'B', ...; '-' ends a frame; 'x' forgets A
    int y;       // the centre's y (x is 300, or 500 for "far")
    bool far = false;
  };
  struct Case {
    const char* name;
    int hand_over;
    std::vector<Step> steps;
    int forward;
    int backward;
  };
  const std::vector<Case> cases = {
      {"broken inside, goes on inside",
       10,
       {{'A', 340}, {'A', 315}, {'x', 0}, {'-', 0}, {'B', 300}, {'B', 270}},
       1,
       0},
      {"the same without the hand-over",
       0,
       {{'A', 340}, {'A', 315}, {'x', 0}, {'-', 0}, {'B', 300}, {'B', 270}},
       0,
       0},
      {"broken inside, found beyond the far line",
       10,
       {{'A', 340}, {'A', 315}, {'x', 0}, {'-', 0}, {'B', 270}, {'B', 250}},
       1,
       0},
      {"backward too",
       10,
       {{'A', 260}, {'A', 285}, {'x', 0}, {'B', 300}, {'B', 330}},
       0,
       1},
      {"found too late",
       3,
       {{'A', 340},
        {'A', 315},
        {'x', 0},
        {'-', 0},
        {'-', 0},
        {'-', 0},
        {'-', 0},
        {'B', 300},
        {'B', 270}},
       0,
       0},
      {"found too far away",
       10,
       {{'A', 340}, {'A', 315}, {'x', 0}, {'B', 300, true}, {'B', 270, true}},
       0,
       0},
      {"a counted pass is not handed over",
       10,
       {{'A', 340}, {'A', 300}, {'A', 275}, {'x', 0}, {'B', 270}, {'B', 250}},
       1,
       0},
      {"one hand-over per broken track",
       10,
       {{'A', 340},
        {'A', 315},
        {'x', 0},
        {'B', 300},
        {'C', 302},
        {'B', 270},
        {'C', 265}},
       1,
       0},
  };
  for (const bool repeat : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (repeat ? ", repeat" : ""));
      Zone zone({100, 300}, {500, 300}, 40, "z", repeat);
      zone.set_hand_over(c.hand_over);
      int forward = 0, backward = 0;
      for (const Step& step : c.steps) {
        if (step.track == '-') {
          zone.EndFrame();
        } else if (step.track == 'x') {
          zone.Forget('A');
        } else {
          const int code =
              zone.Check(step.track, cv::Point(step.far ? 500 : 300, step.y));
          forward += code == Zone::kForward;
          backward += code == Zone::kBackward;
        }
      }
      EXPECT_EQ(forward, c.forward);
      EXPECT_EQ(backward, c.backward);
    }
  }
}

TEST(ZoneTest, ForgetStartsTheTrackAfresh) {
  Zone zone({0, 100}, {200, 100}, 20, "z");
  zone.Check(1, {100, 130});
  EXPECT_EQ(zone.Check(1, {100, 70}), Zone::kForward);
  zone.Forget(1);
  EXPECT_EQ(zone.State(1), nullptr);
  EXPECT_EQ(zone.Check(1, {100, 130}), Zone::kNothing);
  EXPECT_EQ(zone.Check(1, {100, 70}), Zone::kForward);
}

struct AreaCase {
  std::string name;
  bool repeat;
  std::vector<cv::Point> path;
  std::vector<int> codes;
};

class AreaCheckTest : public ::testing::TestWithParam<AreaCase> {};

// Square from (100, 100) to (200, 200).
TEST_P(AreaCheckTest, CodesAlongThePath) {
  const AreaCase& c = GetParam();
  Area area({{100, 100}, {200, 100}, {200, 200}, {100, 200}}, c.repeat);
  std::vector<int> codes;
  for (const cv::Point& p : c.path) codes.push_back(area.Check(3, p));
  EXPECT_EQ(codes, c.codes);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, AreaCheckTest,
    ::testing::Values(AreaCase{"EnterOnFirstSight",
                               false,
                               {{150, 150}, {160, 150}, {250, 150}, {150, 150}},
                               {0, 2, 1, 4}},
                      AreaCase{"ExitOnTheEdge",
                               false,
                               {{50, 150}, {150, 150}, {200, 150}},
                               {3, 0, 1}},
                      AreaCase{"EdgeBeforeEntryIsOutside",
                               false,
                               {{100, 150}, {150, 150}},
                               {3, 0}},
                      AreaCase{"RepeatEntersAgain",
                               true,
                               {{150, 150}, {250, 150}, {260, 150}, {150, 150}},
                               {0, 1, 3, 0}}),
    [](const auto& info) { return info.param.name; });

TEST(AreaTest, TimedAreaStoresTicksAndEmptyAreaIsOutside) {
  Area timed({{0, 0}, {10, 0}, {10, 10}, {0, 10}}, false, true);
  timed.Check(1, {5, 5}, 700);
  EXPECT_EQ(timed.State(1)->entry_tick, 700u);
  EXPECT_EQ(timed.Check(1, {50, 5}, 900), Area::kExited);
  EXPECT_EQ(timed.State(1)->exit_tick, 900u);
  EXPECT_EQ(timed.State(1)->exit, cv::Point(50, 5));
  Area empty({});
  EXPECT_EQ(empty.Check(1, {5, 5}), Area::kOutside);
}

struct SpeedCase {
  std::string name;
  std::vector<std::pair<cv::Point, int64_t>> samples;
  float speed;
};

class SpeedTest : public ::testing::TestWithParam<SpeedCase> {};

// 0.1 metres per pixel, 1000 ticks per second.
TEST_P(SpeedTest, FromOldestToNewestSample) {
  SpeedEstimator estimator(0.1f, 1000.0);
  for (const auto& sample : GetParam().samples) {
    estimator.Update(9, sample.first, sample.second);
  }
  EXPECT_FLOAT_EQ(estimator.Speed(9), GetParam().speed);
}

INSTANTIATE_TEST_SUITE_P(
    Histories, SpeedTest,
    ::testing::Values(
        SpeedCase{"NoSample", {}, 0.0f},
        SpeedCase{"OneSample", {{{0, 0}, 100}}, 0.0f},
        SpeedCase{"NoTimeBetween", {{{0, 0}, 100}, {{50, 0}, 100}}, 0.0f},
        SpeedCase{"Stationary", {{{10, 10}, 100}, {{10, 10}, 200}}, 0.45f},
        SpeedCase{"VeryFast", {{{0, 0}, 100}, {{900, 0}, 101}}, 44.704f},
        // 40 px in 0.4 s = 100 px/s = 10 m/s.
        SpeedCase{"Steady",
                  {{{0, 0}, 0},
                   {{10, 0}, 100},
                   {{20, 0}, 200},
                   {{30, 0}, 300},
                   {{40, 0}, 400}},
                  10.0f},
        // The sixth sample pushes out the first: 90 px in 0.4 s.
        SpeedCase{"KeepsFiveSamples",
                  {{{0, 0}, 0},
                   {{10, 0}, 100},
                   {{20, 0}, 200},
                   {{30, 0}, 300},
                   {{40, 0}, 400},
                   {{100, 0}, 500}},
                  22.5f}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace talvenrook_vision
