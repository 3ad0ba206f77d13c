#include "vision/tracking/tracker.h"

#include <cmath>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

namespace talvenrook_vision {
namespace {

using Boxes = std::vector<cv::Rect>;

cv::Mat Descriptor(std::vector<float> values) {
  return cv::Mat(values, true).reshape(1, 1);
}

class TrackerTest : public ::testing::Test {
 protected:
  // A tracker with the defaults and the given changes.
  void Reconfigure(void (*change)(Tracker::Parameters*)) {
    Tracker::Parameters p;
    if (change) change(&p);
    tracker_.Configure(p);
  }
  // Feeds the same boxes for `frames` frames; returns the last result.
  bool Repeat(const Boxes& boxes, int frames) {
    bool result = false;
    for (int i = 0; i < frames; ++i) result = tracker_.Update(boxes);
    return result;
  }
  const Track& Only() {
    EXPECT_EQ(tracker_.tracks().size(), 1u);
    return tracker_.tracks().front();
  }

  ManualTrackingClock clock_{1000, 1000.0};
  Tracker tracker_{&clock_};
};

TEST_F(TrackerTest, ConfirmsAtFourHitsAndSignalsTheThird) {
  const Boxes box = {{100, 100, 40, 40}};
  std::vector<bool> results;
  std::vector<size_t> confirmed;
  for (int frame = 0; frame < 5; ++frame) {
    results.push_back(tracker_.Update(box));
    confirmed.push_back(tracker_.GetTracks().size());
  }
  EXPECT_EQ(results, (std::vector<bool>{false, false, true, false, false}));
  EXPECT_EQ(confirmed, (std::vector<size_t>{0, 0, 0, 1, 1}));
  EXPECT_EQ(tracker_.GetTracks(true).size(), 1u);
  EXPECT_EQ(Only().hits, 5);
}

struct DeathCase {
  std::string name;
  int hits;  // frames seen before vanishing
  std::vector<float> scores;
  float score_threshold;
  bool reported;
};

class TrackerDeathTest : public TrackerTest,
                         public ::testing::WithParamInterface<DeathCase> {};

TEST_P(TrackerDeathTest, DiesAtSixteenMissesAndIsReportedOnce) {
  const DeathCase& c = GetParam();
  Tracker::Parameters p;
  p.detection_score_threshold = c.score_threshold;
  tracker_.Configure(p);
  for (int i = 0; i < c.hits; ++i)
    tracker_.Update({{50, 50, 30, 30}}, c.scores);
  const int32_t id = Only().id;
  for (int miss = 1; miss <= 15; ++miss) {
    tracker_.Update({});
    ASSERT_EQ(tracker_.tracks().size(), 1u) << "miss " << miss;
    EXPECT_TRUE(tracker_.EndedTracks().empty());
  }
  tracker_.Update({});
  EXPECT_TRUE(tracker_.tracks().empty());
  ASSERT_EQ(tracker_.EndedTracks().size(), c.reported ? 1u : 0u);
  if (c.reported) {
    EXPECT_EQ(tracker_.EndedTracks()[0].id, id);
    EXPECT_EQ(tracker_.EndedTracks()[0].missed, 16.0f);
  }
  tracker_.Update({});
  EXPECT_TRUE(tracker_.EndedTracks().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Deaths, TrackerDeathTest,
    ::testing::Values(
        DeathCase{"Confirmed", 4, {}, 0.0f, true},
        DeathCase{"NeverConfirmed", 3, {}, 0.0f, false},
        DeathCase{"EmptyScoresPassAThresholdOfOne", 4, {}, 1.0f, true},
        DeathCase{"LowScoreIsNotReported", 4, {0.5f}, 0.6f, false},
        DeathCase{"ScoreAtThresholdIsReported", 4, {0.6f}, 0.6f, true}),
    [](const auto& info) { return info.param.name; });

struct MatchCase {
  std::string name;
  bool match_group;
  cv::Rect first;   // candidate listed first
  cv::Rect second;  // candidate listed second
  int matched;      // which candidate keeps the old id: 0 none, 1, 2
};

class TrackerMatchTest : public TrackerTest,
                         public ::testing::WithParamInterface<MatchCase> {};

TEST_P(TrackerMatchTest, MutualNearestNeighbour) {
  const MatchCase& c = GetParam();
  Tracker::Parameters p;
  p.match_group = c.match_group;
  tracker_.Configure(p);
  tracker_.Update({{100, 100, 40, 40}});
  const int32_t old_id = Only().id;
  tracker_.Update({c.first, c.second});
  const std::vector<Track>& tracks = tracker_.tracks();
  ASSERT_EQ(tracks.size(), c.matched ? 2u : 3u);
  EXPECT_EQ(tracks[0].id, old_id);
  EXPECT_EQ(tracks[0].updated, c.matched != 0);
  if (c.matched) {
    EXPECT_EQ(tracks[0].box, c.matched == 1 ? c.first : c.second);
    EXPECT_EQ(tracks[1].box, c.matched == 1 ? c.second : c.first);
    EXPECT_EQ(tracks[0].hits, 2);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, TrackerMatchTest,
    ::testing::Values(
        MatchCase{"TieGoesToFirstCandidate",
                  true,
                  {90, 100, 40, 40},
                  {110, 100, 40, 40},
                  1},
        MatchCase{"NearerCandidateWins",
                  true,
                  {80, 100, 40, 40},
                  {105, 100, 40, 40},
                  2},
        MatchCase{"GroupOffMatchesNeitherOfTwo",
                  false,
                  {90, 100, 40, 40},
                  {110, 100, 40, 40},
                  0},
        MatchCase{"GroupOffMatchesTheOnlyPartner",
                  false,
                  {105, 100, 40, 40},
                  {400, 100, 40, 40},
                  1},
        // Centre distance 80 = 2.0 x 40 is not strictly below the limit.
        MatchCase{"DistanceAtLimitIsInadmissible",
                  true,
                  {180, 100, 40, 40},
                  {400, 400, 40, 40},
                  0},
        MatchCase{"DistanceBelowLimitMatches",
                  true,
                  {179, 100, 40, 40},
                  {400, 400, 40, 40},
                  1},
        // Width change 16/40 = 0.4 is not strictly below the limit.
        MatchCase{"DeformationAtLimitIsInadmissible",
                  true,
                  {92, 100, 24, 40},
                  {400, 400, 40, 40},
                  0},
        MatchCase{"ZeroWidthNeverMatches",
                  true,
                  {120, 100, 0, 40},
                  {400, 400, 40, 40},
                  0}),
    [](const auto& info) { return info.param.name; });

TEST_F(TrackerTest, ZeroSizedBoxesBecomeNewTracksEveryFrame) {
  Repeat({{10, 10, 0, 0}}, 3);
  ASSERT_EQ(tracker_.tracks().size(), 3u);
  for (const Track& t : tracker_.tracks()) EXPECT_EQ(t.hits, 1);
}

TEST_F(TrackerTest, MaxMissedZeroSwitchesPositionMatchingOff) {
  Reconfigure([](Tracker::Parameters* p) { p->max_missed = 0; });
  Repeat({{100, 100, 40, 40}}, 3);
  ASSERT_EQ(tracker_.tracks().size(), 3u);
  EXPECT_EQ(tracker_.tracks()[0].missed, 2.0f);
  EXPECT_EQ(tracker_.tracks()[2].hits, 1);
}

TEST_F(TrackerTest, MaxMissedMinusOneFollowsFramesToDiscard) {
  Reconfigure([](Tracker::Parameters* p) {
    p->frames_to_discard = 7;
    p->frames_to_count = 0;
  });
  EXPECT_EQ(tracker_.parameters().max_missed, 7);
  EXPECT_EQ(tracker_.parameters().frames_to_count, 1);
}

TEST_F(TrackerTest, TrackMissedTooLongIsNotMatchedByPosition) {
  Reconfigure([](Tracker::Parameters* p) { p->max_missed = 2; });
  tracker_.Update({{100, 100, 40, 40}});
  Repeat({}, 2);  // missed 2, not below max_missed
  tracker_.Update({{100, 100, 40, 40}});
  ASSERT_EQ(tracker_.tracks().size(), 2u);
  EXPECT_FALSE(tracker_.tracks()[0].updated);
}

struct DescriptorCase {
  std::string name;
  bool check_distance;
  cv::Rect reappears;
  std::vector<float> descriptor;
  bool same_id;
};

class TrackerDescriptorTest
    : public TrackerTest,
      public ::testing::WithParamInterface<DescriptorCase> {};

TEST_P(TrackerDescriptorTest, ReidentifiesAfterOcclusion) {
  const DescriptorCase& c = GetParam();
  Reconfigure(nullptr);
  Tracker::Parameters p;
  p.deals_with_occlusion = true;
  p.descriptors_check_distance = c.check_distance;
  tracker_.Configure(p);
  tracker_.Update({{100, 100, 40, 40}}, {}, {Descriptor({1, 0, 0, 0})});
  const int32_t id = Only().id;
  tracker_.Update({});
  tracker_.Update({c.reappears}, {}, {Descriptor(c.descriptor)});
  const Track& last = tracker_.tracks().back();
  EXPECT_EQ(last.id == id, c.same_id);
  EXPECT_EQ(tracker_.tracks().size(), c.same_id ? 1u : 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Occlusion, TrackerDescriptorTest,
    ::testing::Values(
        // 40 -> 100 wide is no positional match; the appearance is.
        DescriptorCase{
            "ResizedButClose", true, {70, 70, 100, 100}, {1, 0.1f, 0, 0}, true},
        DescriptorCase{"FarWithoutSpatialTest",
                       false,
                       {500, 400, 40, 40},
                       {1, 0.1f, 0, 0},
                       true},
        // Centre distance 500 exceeds both (1 + 1) x 40 and 1.4 x 40.
        DescriptorCase{"FarWithSpatialTest",
                       true,
                       {500, 400, 40, 40},
                       {1, 0.1f, 0, 0},
                       false},
        DescriptorCase{"DescriptorTooDifferent",
                       false,
                       {500, 400, 40, 40},
                       {0, 1, 0, 0},
                       false},
        DescriptorCase{"DescriptorOfOtherLengthIgnored",
                       false,
                       {500, 400, 40, 40},
                       {1, 0},
                       false}),
    [](const auto& info) { return info.param.name; });

TEST_F(TrackerTest, DescriptorIsARunningMeanOwnedByTheTrack) {
  cv::Mat shared = Descriptor({2, 4});
  tracker_.Update({{100, 100, 40, 40}}, {}, {shared});
  shared.setTo(0);  // the caller reuses its buffer
  EXPECT_EQ(Only().descriptor.at<float>(0), 2.0f);
  tracker_.Update({{100, 100, 40, 40}}, {}, {Descriptor({4, 8})});
  tracker_.Update({{100, 100, 40, 40}}, {}, {Descriptor({1, 2})});
  // Mean of the matched descriptors; the birth one is replaced.
  EXPECT_EQ(Only().descriptor_count, 2);
  EXPECT_FLOAT_EQ(Only().descriptor.at<float>(0), 2.5f);
  EXPECT_FLOAT_EQ(Only().descriptor.at<float>(1), 5.0f);
}

TEST_F(TrackerTest, MatchCopiesDetectionFieldsAndMeasuresTime) {
  tracker_.Update({{100, 100, 40, 40}}, {0.7f}, {}, {4}, {false});
  EXPECT_EQ(Only().class_index, 4);
  EXPECT_FALSE(Only().flag);
  EXPECT_EQ(Only().last_tick, 0);
  clock_.AdvanceTicks(100);
  tracker_.Update({{102, 100, 40, 40}}, {0.9f}, {}, {5}, {true});
  clock_.AdvanceTicks(200);
  tracker_.Update({{104, 100, 40, 40}}, {0.8f});
  const Track& t = Only();
  EXPECT_EQ(t.box, cv::Rect(104, 100, 40, 40));
  EXPECT_EQ(t.center, cv::Point(124, 120));
  EXPECT_EQ(t.class_index, 0);
  EXPECT_TRUE(t.flag);
  EXPECT_FLOAT_EQ(t.max_score, 0.9f);
  EXPECT_FLOAT_EQ(t.last_score, 0.8f);
  EXPECT_EQ(t.interval_count, 1);
  EXPECT_EQ(t.accumulated_ticks, 200);
  EXPECT_FLOAT_EQ(t.tracked_seconds, 0.2f);
}

TEST_F(TrackerTest, IdsComeFromOneProcessWideCounter) {
  Tracker other(&clock_);
  tracker_.Update({{0, 0, 10, 10}});
  other.Update({{0, 0, 10, 10}});
  tracker_.Configure(Tracker::Parameters());
  tracker_.Update({{0, 0, 10, 10}});
  const int32_t a = other.tracks()[0].id;
  EXPECT_EQ(tracker_.tracks()[0].id, a + 1);
  EXPECT_EQ(TrackColour(7), cv::Scalar(70, 63, 212, 0));
  EXPECT_EQ(tracker_.tracks()[0].colour, TrackColour(a + 1));
}

struct KeepAliveCase {
  std::string name;
  std::vector<cv::Rect> regions;
  bool kept;
};

class TrackerKeepAliveTest
    : public TrackerTest,
      public ::testing::WithParamInterface<KeepAliveCase> {};

TEST_P(TrackerKeepAliveTest, KeepsTracksThatVanishedWhereNobodyLooked) {
  Repeat({{100, 100, 40, 40}}, 4);
  tracker_.Update({});
  tracker_.KeepAliveOutside(GetParam().regions);
  const Track& t = Only();
  EXPECT_EQ(t.updated, GetParam().kept);
  EXPECT_EQ(t.missed, GetParam().kept ? 0.0f : 1.0f);
  EXPECT_EQ(t.hits, GetParam().kept ? 5 : 4);
}

INSTANTIATE_TEST_SUITE_P(
    Regions, TrackerKeepAliveTest,
    ::testing::Values(
        KeepAliveCase{"NoRegions", {}, true},
        KeepAliveCase{"InsideRegion", {{0, 0, 300, 300}}, false},
        // Half a box of slack on every side: x 80 >= 100 - 20.
        KeepAliveCase{"InsideWithinSlack", {{120, 80, 40, 80}}, false},
        KeepAliveCase{
            "OutsideAllRegions", {{300, 300, 100, 100}, {0, 0, 50, 50}}, true}),
    [](const auto& info) { return info.param.name; });

TEST_F(TrackerTest, KeepAliveIgnoresUnconfirmedAndLongMissedTracks) {
  Repeat({{100, 100, 40, 40}}, 3);
  tracker_.Update({});
  tracker_.KeepAliveOutside({});
  EXPECT_FALSE(Only().updated);  // hits 3 is not above 3
  Repeat({{100, 100, 40, 40}}, 2);
  Repeat({}, 2);
  tracker_.KeepAliveOutside({});
  EXPECT_EQ(Only().missed, 2.0f);
}

TEST_F(TrackerTest, ConfigureFromMapReadsKeysAndDropsTracks) {
  tracker_.Update({{100, 100, 40, 40}});
  Entity config;
  ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(
      R"pb(properties { key: "tracker_frames_to_count" value { integer_value: -2 } }
           properties { key: "tracker_frames_to_discard" value { integer_value: 9 } }
           properties { key: "tracker_deals_with_occlusion" value { boolean_value: true } }
           properties { key: "tracker_distance_threshold" value { integer_value: 3 } }
           properties { key: "tracker_match_group" value { boolean_value: false } }
           properties { key: "tracker_detection_score_threshold" value { double_value: 0.5 } })pb",
      &config));
  std::ostringstream captured;
  std::streambuf* saved = std::cerr.rdbuf(captured.rdbuf());
  EXPECT_TRUE(tracker_.Configure(config));
  std::cerr.rdbuf(saved);
  EXPECT_EQ(captured.str(),
            "INFO: Configuring Tracker: {frames_to_count: 1, "
            "frames_to_discard: 9}\n");
  const Tracker::Parameters& p = tracker_.parameters();
  EXPECT_EQ(p.max_missed, 9);
  EXPECT_TRUE(p.deals_with_occlusion);
  EXPECT_EQ(p.distance_threshold, 3.0);
  EXPECT_FALSE(p.match_group);
  EXPECT_FLOAT_EQ(p.detection_score_threshold, 0.5f);
  EXPECT_EQ(p.deformation_threshold, 0.4);
  EXPECT_TRUE(tracker_.tracks().empty());
}

TEST_F(TrackerTest, DrawsConfirmedTracksInTheirColour) {
  cv::Mat frame(240, 320, CV_8UC3, cv::Scalar::all(0));
  tracker_.Update({{100, 100, 40, 40}});
  tracker_.Draw(&frame, true);
  EXPECT_EQ(cv::countNonZero(frame.reshape(1)), 0);
  Repeat({{100, 100, 40, 40}}, 3);
  tracker_.Draw(&frame, true);
  const cv::Scalar colour = Only().colour;
  const cv::Vec3b edge = frame.at<cv::Vec3b>(120, 100);  // left side
  EXPECT_EQ(cv::Scalar(edge[0], edge[1], edge[2], 0), colour);
  EXPECT_EQ(frame.at<cv::Vec3b>(120, 120), cv::Vec3b(0, 0, 0));
}

}  // namespace
}  // namespace talvenrook_vision
