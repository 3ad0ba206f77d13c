// The spoof detector's inference limit and the face classifier set (which
// classifiers it builds, in which order, and what each writes), on the
// generated contract networks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "face_test_util.h"
#include "vision/face/classify/face_classifier_set.h"
#include "vision/face/classify/face_classifiers.h"

namespace talvenrook_vision {
namespace {

using face_testing::BinaryModel;
using face_testing::ChannelMeanModel;
using face_testing::OnnxModel;
using face_testing::ParseEntity;
using face_testing::Prop;
using face_testing::Solid;
using face_testing::SubMap;
using ::testing::HasSubstr;
namespace v1 = ::talvenrook::vision::v1;

TEST(SpoofDetectorTest, MaxInferencesFreezesTheTrack) {
  for (int limit : {10, -1}) {
    SpoofDetector spoof;
    spoof.Load(
        Entity(),
        OnnxModel(
            "face_binary_classifier.onnx", "SPOOF", {"spoof", "real"},
            1 / 255.0,
            "properties { key: \"max_inferences\" value { integer_value: " +
                std::to_string(limit) + " } }"));
    EXPECT_EQ(spoof.max_inferences(), limit);
    for (int i = 0; i < 15; ++i)
      spoof.ClassifyRegion(Solid(200 + i, 0, 100), 2, cv::Rect(), false);
    EXPECT_EQ(spoof.VoteCount(2), limit == -1 ? 15 : 10);
    // The network's last run saw the 10th (or the 15th) crop.
    EXPECT_NEAR(spoof.model()->last_output()[0],
                (limit == -1 ? 214 : 209) / 255.0, 1e-5);
    EXPECT_EQ(spoof.Label(2, true), "spoof");
    RectangularDetection detection;
    spoof.Annotate(2, &detection, true);
    EXPECT_EQ(detection.facial_recognition_size(), 0);
  }
}

// A pipeline configuration with the given models.
KestuEyeConfig PipelineWith(const std::vector<Entity>& models,
                            const std::string& config_text = "") {
  KestuEyeConfig config;
  *config.mutable_config() = ParseEntity(config_text);
  for (const Entity& m : models) *config.add_models() = m;
  return config;
}

class FaceClassifierSetTest : public ::testing::Test {
 protected:
  void Load(const KestuEyeConfig& config) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    set_.Load(config);
    stdout_ = ::testing::internal::GetCapturedStdout();
    ::testing::internal::GetCapturedStderr();
  }
  RectangularDetection Classify(const cv::Mat& crop, int track,
                                bool masked = false) {
    RectangularDetection detection;
    set_.Classify(1, cv::Mat(), crop, cv::Rect(0, 0, crop.cols, crop.rows),
                  track, false, &detection, true, masked);
    return detection;
  }

  FaceClassifierSet set_;
  std::string stdout_;
};

TEST_F(FaceClassifierSetTest, BuildsItsTypesInOrderAndIgnoresTheRest) {
  Load(PipelineWith({BinaryModel("BEARD", {"beard", "nobeard"}),
                     BinaryModel("MASK", {"mask", "nomask"}),
                     ChannelMeanModel("EMOTION", {"a", "b", "c"}, 1.0),
                     BinaryModel("GENDER", {"female", "male"}),
                     BinaryModel("SOMETHING", {"x", "y"}),
                     ChannelMeanModel("AGE", {}, 1.0)}));
  EXPECT_THAT(stdout_, HasSubstr("Loading Face Classification Engine V1\n"));
  ASSERT_EQ(set_.size(), 4u);
  EXPECT_EQ(set_.classifier(0).Name(), "emotion");
  EXPECT_EQ(set_.classifier(1).Name(), "gender");
  EXPECT_EQ(set_.classifier(2).Name(), "age");
  EXPECT_EQ(set_.classifier(3).Name(), "beard");

  Load(PipelineWith({BinaryModel("GENDER", {"female", "male"})},
                    R"pb(properties {
                           key: "full_body_gender"
                           value { boolean_value: true }
                         })pb"));
  EXPECT_EQ(set_.size(), 0u);
}

TEST_F(FaceClassifierSetTest, BeardRunsOnlyAfterAMaleGenderInTheSameFrame) {
  Load(PipelineWith({BinaryModel("BEARD", {"beard", "nobeard"}),
                     BinaryModel("GENDER", {"female", "male"})}));
  ObjectClassifier& beard = set_.classifier(1);
  // Blue: "female", and the beard network would say "beard".
  RectangularDetection female = Classify(Solid(200, 0, 0), 1);
  ASSERT_EQ(female.facial_recognition_size(), 1);
  EXPECT_EQ(female.facial_recognition(0).gender(), FacialRecognition::FEMALE);
  EXPECT_TRUE(beard.model()->last_output().empty());
  EXPECT_FALSE(beard.HasVote(1));
  // Red: "male", then the beard classifier runs ("nobeard").
  RectangularDetection male = Classify(Solid(0, 0, 200), 2);
  ASSERT_EQ(male.facial_recognition_size(), 2);
  EXPECT_EQ(male.facial_recognition(1).tag(), v1::BEARD);
  EXPECT_FALSE(male.facial_recognition(1).beard());
}

TEST_F(FaceClassifierSetTest, FinalForgetAndMaskedFaces) {
  Load(PipelineWith({BinaryModel("GENDER", {"female", "male"}),
                     ChannelMeanModel("AGE", {}, 1.0),
                     ChannelMeanModel("AGE_GENDER", {"female", "male"}, 0.001,
                                      {-250, -250, -3})}));
  EXPECT_EQ(Classify(Solid(30, 0, 200), 4, true).facial_recognition_size(), 0);
  EXPECT_FALSE(set_.HasAnyVote(4));
  for (int i = 0; i < 3; ++i) Classify(Solid(30, 0, 200), 4);
  Classify(Solid(31, 0, 200), 4);
  EXPECT_TRUE(set_.HasAnyVote(4));
  RectangularDetection final_detection;
  set_.Final(4, &final_detection);
  ASSERT_EQ(final_detection.facial_recognition_size(), 4);
  EXPECT_EQ(final_detection.facial_recognition(0).gender(),
            FacialRecognition::MALE);
  EXPECT_EQ(final_detection.facial_recognition(1).age(), 30);
  set_.Forget(4);
  EXPECT_FALSE(set_.HasAnyVote(4));
  RectangularDetection after;
  set_.Final(4, &after);
  EXPECT_EQ(after.facial_recognition_size(), 0);
}

TEST_F(FaceClassifierSetTest, EmptyAndOnePixelCropsNeverThrow) {
  Load(PipelineWith({BinaryModel("GENDER", {"female", "male"}),
                     OnnxModel("face_mtl_contract.onnx", "MTL")}));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Classify(cv::Mat(), 6).facial_recognition_size(), 0);
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              HasSubstr("ERROR: Empty face crop of track 6"));
  EXPECT_FALSE(set_.HasAnyVote(6));
  const RectangularDetection thin =
      Classify(Solid(0, 200, 255).colRange(0, 1), 7);
  EXPECT_EQ(thin.facial_recognition_size(), 4);  // gender; gender, emotion, age
}

TEST_F(FaceClassifierSetTest, ClassifierWhoseModelDidNotLoadWritesNothing) {
  Entity missing = BinaryModel("GENDER", {"female", "male"});
  Prop(SubMap(&missing, "content"), "caffemodel_file")
      .set_string_value(face_testing::DataPath("no_such_model.onnx"));
  Load(PipelineWith({missing, OnnxModel("face_mtl_contract.onnx", "MTL")}));
  ASSERT_EQ(set_.size(), 2u);
  EXPECT_FALSE(set_.classifier(0).HasModel());
  const RectangularDetection d = Classify(Solid(0, 200, 255), 8);
  EXPECT_EQ(d.facial_recognition_size(), 3);  // the MTL results only
}

}  // namespace
}  // namespace talvenrook_vision
