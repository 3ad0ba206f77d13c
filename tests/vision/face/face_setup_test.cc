// Set-up of the face pipeline with the real models of tests/data: the
// reason a model that does not load gives in the refusal, and the lines a
// configuration draws, as the notes a client receives.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "face_test_util.h"
#include "tests/testing/test_util.h"
#include "vision/config/setup_notes.h"
#include "vision/face/pipeline/face_analytics_video_v1.h"

namespace talvenrook_vision {
namespace {

using face_testing::AlignModel;
using face_testing::DataPath;
using face_testing::ParseEntity;
using face_testing::Prop;
using face_testing::SsdFaceModel;
using face_testing::SubMap;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::StartsWith;

KestuEyeConfig SsdAndAlign(const std::string& config_text = "") {
  KestuEyeConfig config;
  *config.mutable_config() = ParseEntity(config_text);
  *config.add_models() = SsdFaceModel();
  *config.add_models() = AlignModel();
  return config;
}

void DropWeights(Entity* model) {
  SubMap(model, "content")->mutable_properties()->erase("caffemodel_file");
}

struct Outcome {
  absl::Status status;
  std::vector<std::string> notes;  // as written, with their level
};

Outcome SetUpCollecting(FaceAnalyticsVideoV1* pipeline,
                        const KestuEyeConfig& config) {
  kestu_testing::StderrCapture quiet;
  SetupNotes notes;
  Outcome outcome;
  {
    SetupNotes::Collect collect(&notes);
    outcome.status = pipeline->Setup(config);
  }
  for (const SetupNote& note : notes.notes())
    outcome.notes.push_back(note.Line());
  return outcome;
}

TEST(FaceSetupTest, ARefusalNamesTheModelAndTheLoadersReason) {
  struct Case {
    std::string name;
    std::function<void(KestuEyeConfig*)> change;
    // The whole message when `exact`, else its beginning, followed by a
    // reason.
    std::string message;
    bool exact;
    std::string note;
  };
  const Case cases[] = {
      {"ssd without weights",
       [](KestuEyeConfig* c) { DropWeights(c->mutable_models(0)); },
       "Could not load the model SSD-DETECTOR:0.0.1: Model weights should be "
       "set",
       true, "ERROR: The SSD face model could not be loaded"},
      {"combined ssd without weights",
       [](KestuEyeConfig* c) {
         Prop(c->mutable_config(), "enable_person_detection")
             .set_boolean_value(true);
         DropWeights(c->mutable_models(0));
       },
       "Could not load the model SSD-DETECTOR:0.0.1: Model weights should be "
       "set",
       true, "ERROR: The SSD face model could not be loaded"},
      {"tflite ssd: no reason",
       [](KestuEyeConfig* c) {
         Prop(c->mutable_models(0), "engine").set_string_value("TFLITE");
       },
       "Could not load the model SSD-DETECTOR:0.0.1", true,
       "ERROR: The SSD face model has engine TFLITE, which is not supported; "
       "the pipeline would have no face detector"},
      {"align network that is not one",
       [](KestuEyeConfig* c) {
         Prop(SubMap(c->mutable_models(1), "content"), "prototxt_file")
             .set_string_value(DataPath("pico_facefinder"));
       },
       "Could not load the model ALIGN:0.0.2: ", false,
       "ERROR: The ALIGN model could not be loaded"},
  };
  for (const Case& c : cases) {
    KestuEyeConfig config = SsdAndAlign();
    c.change(&config);
    FaceAnalyticsVideoV1 pipeline;
    const Outcome outcome = SetUpCollecting(&pipeline, config);
    ASSERT_FALSE(outcome.status.ok()) << c.name;
    const std::string message(outcome.status.message());
    if (c.exact) {
      EXPECT_EQ(message, c.message) << c.name;
    } else {
      EXPECT_THAT(message, StartsWith(c.message)) << c.name;
      EXPECT_GT(message.size(), c.message.size()) << c.name << ": no reason";
    }
    EXPECT_THAT(outcome.notes, Contains(c.note)) << c.name;
  }
}

TEST(FaceSetupTest, KeyProblemsAndModelWarningsReachTheNotes) {
  struct Case {
    std::string name;
    std::string config_text;
    bool pico;
    bool spoof;
    std::string note;
    std::function<bool(const FaceAnalyticsVideoV1::Settings&)> settled;
  };
  const Case cases[] = {
      {"classification period below 1",
       R"pb(properties {
              key: "classification_skip_frames"
              value { integer_value: 0 }
            })pb",
       false, false,
       "WARNING: classification_skip_frames must be at least 1, got 0; "
       "using 1",
       [](const FaceAnalyticsVideoV1::Settings& s) {
         return s.classification_skip_frames == 1;
       }},
      {"person classification period below 1",
       R"pb(properties {
              key: "enable_person_detection"
              value { boolean_value: true }
            }
            properties {
              key: "person_classification_skip_frames"
              value { integer_value: -3 }
            })pb",
       false, false,
       "WARNING: person_classification_skip_frames must be at least 1, got "
       "-3; using 1",
       [](const FaceAnalyticsVideoV1::Settings& s) {
         return s.enable_person_detection;
       }},
      {"corrector threshold with pico",
       R"pb(properties {
              key: "face_corrector_th"
              value { double_value: 0.25 }
            })pb",
       true, false,
       "WARNING: Face corrector threshold is an advanced configuration when "
       "used with Pico Detector. Setting it to: 0.25",
       [](const FaceAnalyticsVideoV1::Settings& s) {
         return s.face_corrector_th == 0.25;
       }},
      {"spoof model without movement filter", "", false, true,
       "WARNING: Anti-spoof detection requires movement filter "
       "configuration.",
       [](const FaceAnalyticsVideoV1::Settings&) { return true; }},
  };
  for (const Case& c : cases) {
    KestuEyeConfig config = SsdAndAlign(c.config_text);
    if (c.pico) *config.mutable_models(0) = face_testing::PicoModel();
    if (c.spoof) {
      *config.add_models() = face_testing::OnnxModel(
          "face_binary_classifier.onnx", "SPOOF", {"real", "spoof"});
    }
    FaceAnalyticsVideoV1 pipeline;
    const Outcome outcome = SetUpCollecting(&pipeline, config);
    ASSERT_TRUE(outcome.status.ok()) << c.name << ": " << outcome.status;
    EXPECT_THAT(outcome.notes, Contains(c.note)) << c.name;
    EXPECT_TRUE(c.settled(pipeline.settings())) << c.name;
  }
}

TEST(FaceSetupTest, StandardAlignmentComesFromTheFaceSettings) {
  for (bool on : {true, false}) {
    KestuEyeConfig config = SsdAndAlign();
    Prop(config.mutable_config(), "use_std_align_box").set_boolean_value(on);
    FaceAnalyticsVideoV1 pipeline;
    kestu_testing::StderrCapture capture;
    ASSERT_TRUE(pipeline.Setup(config).ok());
    EXPECT_EQ(pipeline.settings().use_std_align_box, on);
    EXPECT_TRUE(capture.Contains(std::string("Standard alignment: ") +
                                 (on ? "1" : "0")));
  }
}

}  // namespace
}  // namespace talvenrook_vision
