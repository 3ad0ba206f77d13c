#include "vision/tracking/tracker_mode.h"

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

namespace talvenrook_vision {
namespace {

struct Vote {
  int32_t class_index;
  float score;
};

struct ModeCase {
  std::string name;
  int32_t num_classes;
  int32_t num_recent;
  std::vector<Vote> votes;
  int32_t mode;
  float mode_score;
  int32_t recent_mode;
  float uncertainty;
};

class TrackerModeVoteTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(TrackerModeVoteTest, ModesScoresAndUncertainty) {
  const ModeCase& c = GetParam();
  TrackerMode mode(c.num_classes, c.num_recent);
  for (const Vote& vote : c.votes) mode.Vote(11, vote.class_index, vote.score);
  EXPECT_EQ(mode.Mode(11), c.mode);
  EXPECT_FLOAT_EQ(mode.ModeScore(11), c.mode_score);
  EXPECT_EQ(mode.RecentMode(11), c.recent_mode);
  EXPECT_NEAR(mode.RecentUncertainty(11), c.uncertainty, 1e-6);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Votes, TrackerModeVoteTest,
    ::testing::Values(
        ModeCase{"MajorityWins", 90, 5, {{3, 0.5f}, {3, 0.7f}, {5, 0.9f}},
                 3, 0.6f, 3, 0.1414536f /* H(2/3,1/3)/log2 90 */},
        ModeCase{"TieGoesToLowerIndex", 90, 5, {{7, 0.9f}, {2, 0.4f}},
                 2, 0.4f, 2, 1.0f},
        ModeCase{"NegativeClassCountsNothing", 90, 5, {{-1, 0.9f}},
                 -1, 0.0f, -1, 1.0f},
        ModeCase{"OutOfRangeClassCountsNothing", 4, 5, {{4, 0.9f}, {90, 1.f}},
                 -1, 0.0f, -1, 1.0f},
        ModeCase{"RecentWindowForgetsOldVotes", 90, 5,
                 {{1, 1.f}, {1, 1.f}, {1, 1.f}, {1, 1.f}, {1, 1.f},
                  {2, 0.2f}, {2, 0.4f}, {2, 0.6f}},
                 1, 1.0f, 2, 0.1495645f /* H(3/5,2/5)/log2 90 */},
        ModeCase{"UnanimousRecentVotesAreCertain", 90, 5,
                 {{4, 0.5f}, {4, 0.5f}, {4, 0.5f}}, 4, 0.5f, 4, 0.0f},
        ModeCase{"EvenSpreadIsFullyUncertain", 4, 4,
                 {{0, 1.f}, {1, 1.f}, {2, 1.f}, {3, 1.f}}, 0, 1.0f, 0, 1.0f},
        ModeCase{"SingleClassIsCertain", 1, 3, {{0, 1.f}, {0, 1.f}, {0, 1.f}},
                 0, 1.0f, 0, 0.0f},
        ModeCase{"NoRecentWindowKeepsTotals", 90, 0, {{6, 0.3f}, {6, 0.5f}},
                 6, 0.4f, -1, 1.0f}),
    [](const ::testing::TestParamInfo<ModeCase>& info) {
      return info.param.name;
    });
// clang-format on

TEST(TrackerModeTest, RecentMeanScoreFollowsTheWindow) {
  TrackerMode mode(10, 2);
  mode.Vote(1, 3, 0.2f);
  mode.Vote(1, 3, 0.6f);
  mode.Vote(1, 5, 0.9f);  // the 0.2 vote for class 3 leaves the window
  const TrackerMode::ClassHistory* history = mode.History(1);
  ASSERT_NE(history, nullptr);
  EXPECT_EQ(history->recent[3].count, 1);
  EXPECT_FLOAT_EQ(history->recent[3].mean_score, 0.6f);
  mode.Vote(1, 5, 0.7f);  // class 3 drops to 0 recent votes
  EXPECT_EQ(history->recent[3].count, 0);
  EXPECT_FLOAT_EQ(history->recent[3].mean_score, 0.0f);
  EXPECT_EQ(history->recent[5].count, 2);
  EXPECT_FLOAT_EQ(history->recent[5].mean_score, 0.8f);
  EXPECT_EQ(history->totals[3].count, 2);
  EXPECT_FLOAT_EQ(history->totals[3].mean_score, 0.4f);
}

TEST(TrackerModeTest, TracksAreIndependentAndErasable) {
  TrackerMode mode;
  mode.Vote(1, 8, 1.0f);
  mode.Vote(2, 9, 1.0f);
  EXPECT_EQ(mode.Mode(1), 8);
  EXPECT_EQ(mode.Mode(2), 9);
  mode.Erase(1);
  EXPECT_EQ(mode.History(1), nullptr);
  EXPECT_EQ(mode.Mode(1), -1);
  EXPECT_EQ(mode.Mode(2), 9);
}

TEST(TrackerModeTest, ConfigureReadsKeysDropsHistoriesAndLogs) {
  TrackerMode mode;
  mode.Vote(1, 8, 1.0f);
  Entity config;
  ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(
      R"pb(properties { key: "tracker_num_classes" value { integer_value: 3 } }
           properties { key: "tracker_num_recent" value { integer_value: 2 } })pb",
      &config));
  std::ostringstream captured;
  std::streambuf* saved = std::cerr.rdbuf(captured.rdbuf());
  mode.Configure(config);
  mode.Configure(Entity());
  std::cerr.rdbuf(saved);
  EXPECT_EQ(
      captured.str(),
      "INFO: Configuring TrackerMode: {num_classes: 3, num_recent: 2}\n"
      "INFO: Configuring TrackerMode: {num_classes: 90, num_recent: 5}\n");
  EXPECT_EQ(mode.History(1), nullptr);
  EXPECT_EQ(mode.num_classes(), 90);
}

}  // namespace
}  // namespace talvenrook_vision
