#include "vision/detectors/voting_classifier.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "detector_test_util.h"

namespace talvenrook_vision {
namespace {

using ::testing::HasSubstr;
using testing_util::DataPath;
using testing_util::ParseEntity;
using testing_util::SetString;
using testing_util::SubMap;

// The channel-mean network read with scale 1/250: a solid frame (b, g, r)
// gives the outputs (b, g, r) / 250.
Entity ChannelMeanModel(const std::string& engine = "ONNX") {
  Entity model = ParseEntity(R"pb(
    properties { key: "content" value { entity_value {
      properties { key: "input_channels" value { integer_value: 3 } }
      properties { key: "input_size" value { size_value { width: 4 height: 4 } } }
      properties { key: "input_scale" value { double_value: 0.004 } }
      properties { key: "labels" value { array_value {
        values { string_value: "blue" } values { string_value: "green" }
        values { string_value: "red" } } } }
    } } }
    properties { key: "config" value { entity_value {
      properties { key: "tracker_num_classes" value { integer_value: 3 } }
    } } })pb");
  SetString(&model, "engine", engine);
  SetString(SubMap(&model, "content"), "caffemodel_file",
            DataPath("channel_mean.onnx"));
  return model;
}

cv::Mat Solid(double b, double g, double r) {
  return cv::Mat(16, 16, CV_8UC3, cv::Scalar(b, g, r));
}

class VotingClassifierTest : public ::testing::Test {
 protected:
  void Load(double threshold) {
    Entity pipeline;
    (*pipeline.mutable_properties())["family_car_confidence_threshold"]
        .set_double_value(threshold);
    ::testing::internal::CaptureStderr();
    classifier_.Load(pipeline, ChannelMeanModel());
    log_ = ::testing::internal::GetCapturedStderr();
  }

  VotingClassifier classifier_{"family_car"};
  std::string log_;
};

TEST_F(VotingClassifierTest, ReadsItsNamedThresholdAndEnablesVoting) {
  Load(0.6);
  EXPECT_THAT(log_, HasSubstr("Confidence threshold "
                              "(family_car_confidence_threshold): 0.6\n"));
  EXPECT_FLOAT_EQ(classifier_.confidence_threshold(), 0.6f);
  EXPECT_TRUE(classifier_.voting_enabled());
  EXPECT_TRUE(classifier_.HasModel());
}

struct ArgMaxCase {
  cv::Scalar pixel;
  int index;
  float confidence;
};

class RunClassifierTest : public ::testing::TestWithParam<ArgMaxCase> {};

TEST_P(RunClassifierTest, PicksTheFirstStrictlyLargestPositiveOutput) {
  VotingClassifier classifier("family_car");
  Entity model = ChannelMeanModel();
  // A mean of 250 on the second and third channels makes negative outputs
  // possible: (pixel - 250) / 250.
  if (GetParam().pixel[3] > 0) {
    (*SubMap(&model, "content")->mutable_properties())["input_mean_scale"] =
        ParseEntity(R"pb(properties { key: "v" value { array_value {
          values { integer_value: 0 } values { integer_value: 250 }
          values { integer_value: 250 } } } })pb")
            .properties()
            .at("v");
  }
  classifier.LoadModel(model);
  const cv::Scalar p = GetParam().pixel;
  const ClassScore result = classifier.RunClassifier(Solid(p[0], p[1], p[2]));
  EXPECT_EQ(result.first, GetParam().index);
  EXPECT_NEAR(result.second, GetParam().confidence, 1e-5);
  EXPECT_EQ(classifier.model()->last_output().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, RunClassifierTest,
    ::testing::Values(ArgMaxCase{{50, 125, 125, 0}, 1, 0.5f},  // tie keeps 1
                      ArgMaxCase{{0, 0, 0, 1}, -1, 0.0f},      // 0, -1, -1
                      ArgMaxCase{{25, 50, 250, 0}, 2, 1.0f}));

TEST_F(VotingClassifierTest, ResultAtTheThresholdIsDropped) {
  Load(0.6);
  EXPECT_EQ(classifier_.ClassifyRegion(Solid(150, 0, 0), 7, false), "");
  EXPECT_EQ(classifier_.Label(7, true), "");
  EXPECT_FALSE(classifier_.HasVote(7));
  EXPECT_FLOAT_EQ(classifier_.VoteScore(7), 0.0f);
}

TEST_F(VotingClassifierTest, ResultAboveTheThresholdIsStoredAndVoted) {
  Load(0.5);
  EXPECT_EQ(classifier_.ClassifyRegion(Solid(150, 0, 0), 7, false), "blue");
  EXPECT_TRUE(classifier_.HasVote(7));
  EXPECT_NEAR(classifier_.VoteScore(7), 0.6f, 1e-5);
  EXPECT_FLOAT_EQ(classifier_.VoteUncertainty(7), 1.0f);  // one vote only
  classifier_.ForgetTrack(7);
  EXPECT_FALSE(classifier_.HasVote(7));
  EXPECT_EQ(classifier_.Label(7, true), "");
}

TEST_F(VotingClassifierTest, CachedTrackDoesNotRunTheNetwork) {
  Load(0.1);
  classifier_.ClassifyRegion(Solid(0, 200, 0), 3, false);
  const std::vector<float> first = classifier_.model()->last_output();
  EXPECT_EQ(classifier_.ClassifyRegion(Solid(0, 0, 200), 3, true), "green");
  EXPECT_EQ(classifier_.model()->last_output(), first);
  // Without the cache flag the new frame is classified and voted.
  classifier_.ClassifyRegion(Solid(0, 0, 200), 3, false);
  EXPECT_NE(classifier_.model()->last_output(), first);
}

TEST_F(VotingClassifierTest, RecentAndAllTimeModesDiffer) {
  Load(0.1);
  for (int i = 0; i < 5; ++i)
    classifier_.ClassifyRegion(Solid(200, 0, 0), 4, false);
  for (int i = 0; i < 3; ++i)
    classifier_.ClassifyRegion(Solid(0, 0, 200), 4, false);
  EXPECT_EQ(classifier_.Label(4, false), "blue");
  EXPECT_EQ(classifier_.Label(4, true), "red");
}

// ClassVote alone: which class a track reports, before, while and after
// voting is on.
struct ClassVoteCase {
  const char* name;
  bool voting_before;  // voting on while the results are recorded
  bool voting_after;   // voting turned on afterwards
  std::vector<ClassScore> results;
  int32_t recent;    // ClassOf(track, true)
  int32_t all_time;  // ClassOf(track, false)
  bool has_vote;
};

class ClassVoteTest : public ::testing::TestWithParam<ClassVoteCase> {};

TEST_P(ClassVoteTest, ReportsTheVotedOrTheLatestClass) {
  const ClassVoteCase& c = GetParam();
  ClassVote vote;
  if (c.voting_before) vote.EnableVoting();
  for (const ClassScore& result : c.results) vote.Record(1, result);
  if (c.voting_after) vote.EnableVoting();
  EXPECT_EQ(vote.ClassOf(1, true), c.recent);
  EXPECT_EQ(vote.ClassOf(1, false), c.all_time);
  EXPECT_EQ(vote.HasVote(1), c.has_vote);
  // Another track is untouched, and forgetting drops everything.
  EXPECT_EQ(vote.ClassOf(2, true), -1);
  EXPECT_EQ(vote.Latest(2), nullptr);
  vote.Forget(1);
  EXPECT_EQ(vote.ClassOf(1, false), -1);
  EXPECT_FALSE(vote.HasVote(1));
  EXPECT_FLOAT_EQ(vote.Score(1), 0.0f);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClassVoteTest,
    ::testing::Values(
        ClassVoteCase{"Nothing", true, false, {}, -1, -1, false},
        ClassVoteCase{"VotingOffKeepsTheLatest",
                      false,
                      false,
                      {{0, 0.9f}, {0, 0.9f}, {2, 0.4f}},
                      2,
                      2,
                      false},
        // Results recorded before voting was on are not in the vote.
        ClassVoteCase{"VotingTurnedOnLater",
                      false,
                      true,
                      {{1, 0.9f}, {2, 0.4f}},
                      2,
                      2,
                      false},
        // Five recent votes: 0 0 1 1 1 of 0 0 0 0 0 1 1 1.
        ClassVoteCase{"RecentAndAllTimeModes",
                      true,
                      false,
                      {{0, 0.8f},
                       {0, 0.8f},
                       {0, 0.8f},
                       {0, 0.8f},
                       {0, 0.8f},
                       {1, 0.6f},
                       {1, 0.6f},
                       {1, 0.6f}},
                      1,
                      0,
                      true}),
    [](const ::testing::TestParamInfo<ClassVoteCase>& info) {
      return std::string(info.param.name);
    });

TEST(ClassVoteScoreTest, IsTheMeanScoreOfTheAllTimeMode) {
  ClassVote vote;
  vote.EnableVoting();
  for (float score : {0.5f, 0.7f, 0.9f}) vote.Record(4, {2, score});
  vote.Record(4, {1, 1.0f});
  EXPECT_NEAR(vote.Score(4), 0.7f, 1e-6);
  ASSERT_NE(vote.Latest(4), nullptr);
  EXPECT_EQ(*vote.Latest(4), ClassScore(1, 1.0f));
}

TEST(VotingClassifierLoadTest, TfliteEngineLeavesTheClassifierWithoutAModel) {
  VotingClassifier classifier("family_car");
  classifier.LoadModel(ChannelMeanModel());
  ASSERT_TRUE(classifier.HasModel());
  classifier.LoadModel(ChannelMeanModel("TFLITE"));
  EXPECT_FALSE(classifier.HasModel());
  EXPECT_EQ(classifier.RunClassifier(Solid(9, 9, 9)), ClassScore(-1, 0.0f));
}

TEST(VotingClassifierLoadTest, MissingEngineIsAMissingProperty) {
  VotingClassifier classifier("family_car");
  Entity model = ChannelMeanModel();
  model.mutable_properties()->erase("engine");
  EXPECT_THROW(classifier.LoadModel(model), MissingPropertyError);
}

}  // namespace
}  // namespace talvenrook_vision
