// The face classifiers on the generated contract networks, whose outputs
// are known functions of a solid crop's colour.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "face_test_util.h"
#include "vision/face/classify/age_detector.h"
#include "vision/face/classify/age_gender_detector.h"
#include "vision/face/classify/face_classifier_set.h"
#include "vision/face/classify/face_classifiers.h"
#include "vision/face/classify/mtl_detector.h"

namespace talvenrook_vision {
namespace {

using face_testing::BinaryModel;
using face_testing::ChannelMeanModel;
using face_testing::OnnxModel;
using face_testing::ParseEntity;
using face_testing::Solid;
using face_testing::SubMap;
using ::testing::HasSubstr;
namespace v1 = ::talvenrook::vision::v1;

const FacialRecognition* Find(const RectangularDetection& d,
                              v1::EnumFacialRecognitionTag tag) {
  for (const FacialRecognition& r : d.facial_recognition())
    if (r.tag() == tag) return &r;
  return nullptr;
}

TEST(FaceLabelsTest, DecodesLabelsIntoTheMessageFields) {
  EXPECT_EQ(EmotionFromLabel("surprised"), FacialRecognition::SURPRISED);
  EXPECT_EQ(EmotionFromLabel("happy"), FacialRecognition::HAPPY);
  EXPECT_EQ(EmotionFromLabel("not sure"),
            FacialRecognition::EMOTION_NOT_DEFINED);
  EXPECT_EQ(EmotionFromLabel(""), FacialRecognition::EMOTION_NOT_DEFINED);
  EXPECT_EQ(GenderFromLabel("male"), FacialRecognition::MALE);
  EXPECT_EQ(GenderFromLabel("female"), FacialRecognition::FEMALE);
  EXPECT_EQ(GenderFromLabel("man"), FacialRecognition::GENDER_NOT_DEFINED);
  EXPECT_EQ(GlassesFromLabel("sunglasses"), FacialRecognition::SUN_GLASSES);
  EXPECT_EQ(GlassesFromLabel("Glasses"),
            FacialRecognition::GLASSES_NOT_DEFINED);
  const std::pair<int, FacialRecognition::AgeClass> ages[] = {
      {14, FacialRecognition::CHILDREN},
      {15, FacialRecognition::YOUNG_ADULT},
      {22, FacialRecognition::YOUNG_ADULT},
      {23, FacialRecognition::ADULT},
      {56, FacialRecognition::ADULT},
      {57, FacialRecognition::SENIOR}};
  for (const auto& [age, age_class] : ages)
    EXPECT_EQ(AgeClassFromAge(age), age_class) << age;
}

// One single-output classifier per row, created by its model type.
struct LabelCase {
  std::string type;
  bool three_classes;  // channel_mean (B, G, R) or the binary (B, R) network
  std::vector<std::string> labels;
  cv::Scalar pixel;
  v1::EnumFacialRecognitionTag tag;
  std::string expected;  // the written field, printed
};

std::string FieldOf(const FacialRecognition& r) {
  switch (r.tag()) {
    case v1::EMOTION:
      return FacialRecognition::Emotion_Name(r.emotion());
    case v1::GENDER:
      return FacialRecognition::Gender_Name(r.gender());
    case v1::TYPE_GLASS:
      return FacialRecognition::Glasses_Name(r.glasses());
    case v1::HAVE_GLASS:
      return r.have_glass() ? "true" : "false";
    case v1::BEARD:
      return r.beard() ? "true" : "false";
    case v1::MASK:
      return r.mask() ? "true" : "false";
    default:
      return "?";
  }
}

class LabelClassifierTest : public ::testing::TestWithParam<LabelCase> {};

TEST_P(LabelClassifierTest, WritesTheVotedLabelAsItsField) {
  const LabelCase& c = GetParam();
  std::unique_ptr<ObjectClassifier> classifier = CreateFaceClassifier(c.type);
  ASSERT_NE(classifier, nullptr);
  classifier->Load(Entity(), c.three_classes
                                 ? ChannelMeanModel(c.type, c.labels, 1 / 255.0)
                                 : BinaryModel(c.type, c.labels));
  const cv::Mat crop = Solid(c.pixel[0], c.pixel[1], c.pixel[2]);
  classifier->ClassifyRegion(crop, 5, cv::Rect(), false);
  RectangularDetection detection;
  classifier->Annotate(5, &detection, true);
  ASSERT_EQ(detection.facial_recognition_size(), 1);
  const FacialRecognition& r = detection.facial_recognition(0);
  EXPECT_EQ(r.tag(), c.tag);
  EXPECT_EQ(FieldOf(r), c.expected);
  EXPECT_FLOAT_EQ(r.confidence(),
                  static_cast<LabelClassifier&>(*classifier).VoteScore(5));
  EXPECT_GT(r.confidence(), 0.5f);
}

INSTANTIATE_TEST_SUITE_P(
    Types, LabelClassifierTest,
    ::testing::Values(
        LabelCase{"EMOTION",
                  true,
                  {"surprised", "joy", "angry"},
                  {255, 0, 0},
                  v1::EMOTION,
                  "SURPRISED"},
        LabelCase{"EMOTION",
                  true,
                  {"surprised", "joy", "angry"},
                  {0, 255, 0},
                  v1::EMOTION,
                  "EMOTION_NOT_DEFINED"},
        LabelCase{"GENDER",
                  false,
                  {"female", "male"},
                  {0, 0, 255},
                  v1::GENDER,
                  "MALE"},
        LabelCase{"TYPE_GLASS",
                  true,
                  {"glasses", "noglasses", "sunglasses"},
                  {0, 0, 255},
                  v1::TYPE_GLASS,
                  "SUN_GLASSES"},
        LabelCase{"HAVE_GLASS",
                  false,
                  {"withglass", "noglass"},
                  {255, 0, 0},
                  v1::HAVE_GLASS,
                  "true"},
        LabelCase{"BEARD",
                  false,
                  {"beard", "nobeard"},
                  {0, 0, 255},
                  v1::BEARD,
                  "false"},
        LabelCase{
            "MASK", false, {"mask", "nomask"}, {255, 0, 0}, v1::MASK, "true"}));

TEST(LabelClassifierTest, VoteCountsTwentyClassesOrEveryLabel) {
  for (const auto& [count, expected] :
       {std::make_pair(2, "{num_classes: 20, num_recent: 5}"),
        std::make_pair(25, "{num_classes: 25, num_recent: 5}")}) {
    LabelClassifier glass(kGlassField);
    ::testing::internal::CaptureStderr();
    glass.Load(Entity(), ChannelMeanModel("TYPE_GLASS",
                                          std::vector<std::string>(count, "x"),
                                          1 / 255.0));
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr(expected));
  }
}

TEST(LabelClassifierTest, TrackWithoutAVoteWritesNothing) {
  LabelClassifier emotion(kEmotionField);
  emotion.Load(Entity(),
               ChannelMeanModel("EMOTION", {"a", "b", "c"}, 1 / 255.0));
  emotion.ClassifyRegion(Solid(0, 0, 0), 1, cv::Rect(), false);  // all 0
  RectangularDetection detection;
  emotion.Annotate(1, &detection, true);
  emotion.Annotate(2, &detection, false);
  EXPECT_EQ(detection.facial_recognition_size(), 0);
}

// AgeDetector over channel_mean with scale 1: the age is the blue value.
class AgeDetectorTest : public ::testing::Test {
 protected:
  void Load(const std::string& pipeline_text, const std::string& config = "") {
    Entity model = ChannelMeanModel("AGE", {}, 1.0);
    *SubMap(&model, "config") = ParseEntity(config);
    ::testing::internal::CaptureStderr();
    age_.Load(ParseEntity(pipeline_text), model);
    log_ = ::testing::internal::GetCapturedStderr();
  }
  FacialRecognition Vote(std::initializer_list<int> ages, bool recent,
                         int track = 9) {
    for (int a : ages)
      age_.ClassifyRegion(Solid(a, 0, 0), track, cv::Rect(), false);
    RectangularDetection detection;
    age_.Annotate(track, &detection, recent);
    EXPECT_EQ(detection.facial_recognition_size(), 1);
    return detection.facial_recognition_size() ? detection.facial_recognition(0)
                                               : FacialRecognition();
  }

  AgeDetector age_;
  std::string log_;
};

TEST_F(AgeDetectorTest, AllTimeModeOfTheVotes) {
  Load("");
  EXPECT_THAT(log_, HasSubstr("Use mean for age: 0\n"));
  const FacialRecognition r = Vote({30, 30, 31}, false);
  EXPECT_EQ(r.tag(), v1::AGE);
  EXPECT_EQ(r.age(), 30);
  EXPECT_EQ(r.age_class(), FacialRecognition::ADULT);
}

TEST_F(AgeDetectorTest, MeanOfTheVotesIsTruncated) {
  Load(R"pb(properties {
              key: "tracker_age_use_mean"
              value { boolean_value: true }
            })pb");
  EXPECT_THAT(log_, HasSubstr("Use mean for age: 1\n"));
  EXPECT_EQ(Vote({30, 30, 31}, false).age(), 30);      // 91 / 3
  EXPECT_EQ(Vote({30, 31, 31}, false, 10).age(), 30);  // 92 / 3; the mode is 31
}

TEST_F(AgeDetectorTest, MinReportedAgeRaisesTheAgeAndItsClass) {
  Load(R"pb(properties {
              key: "min_reported_age"
              value { integer_value: 35 }
            })pb");
  const FacialRecognition r = Vote({30, 30, 31}, true);
  EXPECT_EQ(r.age(), 35);
  EXPECT_EQ(r.age_class(), FacialRecognition::ADULT);
}

TEST_F(AgeDetectorTest, WrongKindsOfValuesReadAsZero) {
  Load(R"pb(properties {
              key: "tracker_age_use_mean"
              value { string_value: "yes" }
            }
            properties {
              key: "min_reported_age"
              value { double_value: 35.0 }
            })pb");
  EXPECT_FALSE(age_.use_mean());
  EXPECT_EQ(age_.min_reported_age(), 0);
  EXPECT_EQ(Vote({12}, false).age_class(), FacialRecognition::CHILDREN);
}

TEST_F(AgeDetectorTest, VoteHasAtLeastTheClassCountAndAgesStayInIt) {
  Load("", R"pb(properties {
                  key: "tracker_num_classes"
                  value { integer_value: 10 }
                })pb");
  EXPECT_EQ(age_.class_count(), 120);
  EXPECT_THAT(log_, HasSubstr("{num_classes: 120, num_recent: 5}"));
  EXPECT_EQ(Vote({250}, false).age(), 119);
  Load("", R"pb(properties {
                  key: "tracker_num_classes"
                  value { integer_value: 200 }
                })pb");
  EXPECT_EQ(age_.class_count(), 200);
}

TEST_F(AgeDetectorTest, CachedTrackKeepsItsVotes) {
  Load("");
  age_.ClassifyRegion(Solid(40, 0, 0), 9, cv::Rect(), false);
  age_.ClassifyRegion(Solid(70, 0, 0), 9, cv::Rect(), true);  // not run
  EXPECT_EQ(age_.VotedIndex(9, false), 40);
  EXPECT_FLOAT_EQ(age_.model()->last_output()[0], 40.0f);
}

TEST(AgeClassDetectorTest, MapsTheVotedClassToAnAgeAndClass) {
  AgeClassDetector detector;
  detector.Load(Entity(), ChannelMeanModel("AGE_FULL", {}, 1 / 255.0));
  const struct {
    cv::Scalar pixel;
    int age;
    FacialRecognition::AgeClass age_class;
  } cases[] = {{{200, 0, 0}, 40, FacialRecognition::ADULT},
               {{0, 200, 0}, 7, FacialRecognition::CHILDREN},
               {{0, 0, 200}, 78, FacialRecognition::SENIOR}};
  int track = 0;
  for (const auto& c : cases) {
    detector.ClassifyRegion(Solid(c.pixel[0], c.pixel[1], c.pixel[2]), track,
                            cv::Rect(), false);
    RectangularDetection detection;
    detector.Annotate(track++, &detection, false);
    ASSERT_EQ(detection.facial_recognition_size(), 1);
    EXPECT_EQ(detection.facial_recognition(0).age(), c.age);
    EXPECT_EQ(detection.facial_recognition(0).age_class(), c.age_class);
  }
}

// channel_mean with scale 1/1000 and mean (-250, -250, -3): a pixel of
// 250 gives (0.5, 0.5, 0.253).
class AgeGenderDetectorTest : public ::testing::Test {
 protected:
  void Load(const std::string& pipeline_text, const Entity& model) {
    ::testing::internal::CaptureStderr();
    detector_.Load(ParseEntity(pipeline_text), model);
    log_ = ::testing::internal::GetCapturedStderr();
  }
  static Entity Model() {
    return ChannelMeanModel("AGE_GENDER", {"female", "male"}, 0.001,
                            {-250, -250, -3});
  }

  AgeGenderDetector detector_;
  std::string log_;
};

TEST_F(AgeGenderDetectorTest, EqualProbabilitiesVoteMaleAndTheAgeIsTruncated) {
  Load("", Model());
  EXPECT_THAT(log_, HasSubstr("Loading Age Gender detector\n"));
  EXPECT_EQ(
      detector_.ClassifyRegion(Solid(250, 250, 250), 3, cv::Rect(), false),
      "male");
  RectangularDetection detection;
  detector_.Annotate(3, &detection, true);
  ASSERT_EQ(detection.facial_recognition_size(), 2);
  EXPECT_EQ(detection.facial_recognition(0).tag(), v1::GENDER);
  EXPECT_EQ(detection.facial_recognition(0).gender(), FacialRecognition::MALE);
  EXPECT_FLOAT_EQ(detection.facial_recognition(0).confidence(), 0.5f);
  EXPECT_EQ(detection.facial_recognition(1).tag(), v1::AGE);
  EXPECT_EQ(detection.facial_recognition(1).age(), 25);
  EXPECT_EQ(detection.facial_recognition(1).age_class(),
            FacialRecognition::ADULT);
}

TEST_F(AgeGenderDetectorTest, GenderAtTheThresholdIsNotVotedButTheAgeIs) {
  Load(R"pb(properties {
              key: "gender_confidence_threshold"
              value { double_value: 0.5 }
            }
            properties {
              key: "min_reported_age"
              value { integer_value: 30 }
            })pb",
       Model());
  detector_.ClassifyRegion(Solid(250, 250, 250), 3, cv::Rect(), false);
  EXPECT_FALSE(detector_.HasVote(3));
  RectangularDetection detection;
  detector_.Annotate(3, &detection, false);
  ASSERT_EQ(detection.facial_recognition_size(), 1);
  EXPECT_EQ(detection.facial_recognition(0).age(), 30);
  // Forgetting drops the age history too, although no gender was voted.
  detector_.ForgetTrack(3);
  EXPECT_EQ(detector_.votes().age().History(3), nullptr);
}

TEST_F(AgeGenderDetectorTest, AgeVoteCountsEveryReportedAge) {
  // The age vote holds ages up to 99 even when its map asks for fewer.
  Entity model = Model();
  *SubMap(&model, "config") = ParseEntity(R"pb(
    properties {
      key: "age_tracker_config"
      value {
        entity_value {
          properties {
            key: "tracker_num_classes"
            value { integer_value: 20 }
          }
        }
      }
    })pb");
  Load("", model);
  EXPECT_EQ(detector_.votes().age().num_classes(), 100);
  detector_.ClassifyRegion(Solid(250, 250, 250), 4, cv::Rect(), false);
  EXPECT_EQ(detector_.votes().age().Mode(4), 25);
}

TEST_F(AgeGenderDetectorTest, ShortOutputIsAnErrorAndVotesNothing) {
  Load("", BinaryModel("AGE_GENDER", {"female", "male"}));
  ::testing::internal::CaptureStderr();
  detector_.ClassifyRegion(Solid(250, 0, 0), 3, cv::Rect(), false);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("ERROR: The age-gender network gave 2 values where 3 "
                        "are needed"));
  RectangularDetection detection;
  detector_.Annotate(3, &detection, false);
  EXPECT_EQ(detection.facial_recognition_size(), 0);
}

// The MTL contract: emotion k wins for blue = 255 k / 6, male wins for
// green above 127.5, age = 100 red / 255.
class MTLDetectorTest : public ::testing::Test {
 protected:
  void Load(const std::string& pipeline_text,
            const Entity& model = OnnxModel("face_mtl_contract.onnx", "MTL")) {
    detector_.Load(ParseEntity(pipeline_text), model);
  }
  RectangularDetection Classify(const cv::Mat& crop, int track = 1) {
    detector_.ClassifyRegion(crop, track, cv::Rect(), false);
    RectangularDetection detection;
    detector_.Annotate(track, &detection, true);
    return detection;
  }

  MTLDetector detector_;
};

TEST_F(MTLDetectorTest, WritesGenderEmotionAndAgeInThatOrder) {
  Load("");
  const RectangularDetection d = Classify(Solid(128, 200, 76));
  ASSERT_EQ(d.facial_recognition_size(), 3);
  EXPECT_EQ(d.facial_recognition(0).gender(), FacialRecognition::MALE);
  EXPECT_EQ(d.facial_recognition(1).emotion(), FacialRecognition::HAPPY);
  EXPECT_GT(d.facial_recognition(1).confidence(), 0.9f);
  EXPECT_EQ(d.facial_recognition(2).age(), 29);
}

TEST_F(MTLDetectorTest, EmotionTableFollowsTheOutputOrder) {
  Load("");
  const std::pair<int, FacialRecognition::Emotion> cases[] = {
      {0, FacialRecognition::ANGRY}, {43, FacialRecognition::DISGUST},
      {85, FacialRecognition::FEAR}, {170, FacialRecognition::NEUTRAL},
      {213, FacialRecognition::SAD}, {255, FacialRecognition::SURPRISED}};
  int track = 10;
  for (const auto& [blue, emotion] : cases) {
    const RectangularDetection d = Classify(Solid(blue, 50, 0), ++track);
    const FacialRecognition* r = Find(d, v1::EMOTION);
    ASSERT_NE(r, nullptr) << blue;
    EXPECT_EQ(r->emotion(), emotion) << blue;
    EXPECT_EQ(Find(d, v1::GENDER)->gender(), FacialRecognition::FEMALE);
    EXPECT_EQ(Find(d, v1::AGE)->age(), 0);  // red 0
  }
}

TEST_F(MTLDetectorTest, ThresholdsKeepWeakResultsOutOfTheVotes) {
  Load(R"pb(properties {
              key: "emotion_confidence_threshold"
              value { double_value: 0.99 }
            }
            properties {
              key: "gender_confidence_threshold"
              value { double_value: 0.9 }
            })pb");
  const RectangularDetection d = Classify(Solid(128, 200, 76));
  EXPECT_FALSE(detector_.HasVote(1));         // happy at 0.96
  ASSERT_EQ(d.facial_recognition_size(), 1);  // male at 0.78 is dropped too
  EXPECT_EQ(d.facial_recognition(0).tag(), v1::AGE);
  detector_.ForgetTrack(1);
  EXPECT_EQ(detector_.votes().age().History(1), nullptr);
}

TEST_F(MTLDetectorTest, OutputOfSevenValuesIsAnErrorAndVotesNothing) {
  Load("", face_testing::EmotionModel());
  ::testing::internal::CaptureStderr();
  const RectangularDetection d = Classify(Solid(128, 200, 76));
  EXPECT_THAT(
      ::testing::internal::GetCapturedStderr(),
      HasSubstr("ERROR: The MTL network gave 7 values where 10 are needed"));
  EXPECT_EQ(d.facial_recognition_size(), 0);
  EXPECT_FALSE(detector_.HasVote(1));
}

}  // namespace
}  // namespace talvenrook_vision
