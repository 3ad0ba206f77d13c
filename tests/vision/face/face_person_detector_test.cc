// The face SSD detectors: the face box geometry, how models are recognised
// as combined, face or person models, the people as PERSON detections and
// events (with the committed face SSD and the SSD contract networks), and
// person ids that never meet face ids.
#include <tuple>

#include <gtest/gtest.h>

#include "face_test_util.h"
#include "tests/testing/test_util.h"
#include "vision/face/common/result_ids.h"
#include "vision/face/detect/face_person_detector.h"
#include "vision/face/detect/tiny_ssd_detector_adapter.h"

namespace talvenrook_vision {
namespace {

using face_testing::ClipFrame;
using face_testing::ContractSsdModel;
using face_testing::kFaceBox30;
using face_testing::SsdFaceModel;
namespace v1 = ::talvenrook::vision::v1;

TEST(FaceBoxTest, SquareShrunkAndMovedDown) {
  struct Case {
    cv::Rect network, face;
  };
  const Case cases[] = {
      // 100 x 100 centred at (60, 50), 90 x 90 at (15, 5), down to y 18.
      {cv::Rect(10, 10, 100, 80), cv::Rect(15, 18, 90, 90)},
      {cv::Rect(0, 0, 80, 100), cv::Rect(-5, 18, 90, 90)},
      // The side is rounded down to even.
      {cv::Rect(0, 0, 51, 40), cv::Rect(2, 4, 45, 45)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FacePersonDetector::FaceBoxFromNetwork(c.network), c.face)
        << c.network;
  }
}

TEST(PersonIdTest, PeopleAreOffsetBy65536) {
  EXPECT_EQ(ReportedPersonId(7), 65543u);
  EXPECT_EQ(ReportedPersonId(0), 65536u);
}

struct ModelCase {
  std::string name;
  std::string type, version;
  std::vector<std::string> labels;
  bool combined;
  int face_index, person_index;
  bool person_model;
};

class ModelKindTest : public ::testing::TestWithParam<ModelCase> {};

TEST_P(ModelKindTest, LabelsOrTypeAndVersionDecide) {
  const ModelCase& c = GetParam();
  KestuEyeConfig config;
  *config.add_models() = ContractSsdModel("face_person_ssd_contract.onnx",
                                          c.type, c.version, c.labels);
  FacePersonDetector detector;
  kestu_testing::StderrCapture quiet;
  EXPECT_EQ(detector.Load(config, config.models(0)), !c.person_model);
  EXPECT_EQ(detector.combined(), c.combined);
  EXPECT_EQ(detector.face_index(), c.face_index);
  EXPECT_EQ(detector.person_index(), c.person_index);
  EXPECT_EQ(detector.has_person_model(), c.person_model);
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelKindTest,
    ::testing::Values(
        ModelCase{
            "NoLabels002", "SSD-DETECTOR", "0.0.2", {}, true, 1, 2, false},
        ModelCase{
            "NoLabels001", "SSD-DETECTOR", "0.0.1", {}, false, 1, 2, false},
        ModelCase{"OtherTypeNoLabels", "SSD", "0.0.2", {}, false, 1, 2, false},
        ModelCase{"FaceAndPersonLabels",
                  "SSD",
                  "7",
                  {"background", "face", "person"},
                  true,
                  1,
                  2,
                  false},
        ModelCase{"PersonLabelsOnly",
                  "SSD",
                  "7",
                  {"background", "person"},
                  false,
                  1,
                  1,
                  true}),
    [](const auto& info) { return info.param.name; });

TEST(FacePersonSettingsTest, PersonClassificationEveryFrameAtLeast) {
  for (const auto& [skip, read, warned] :
       {std::make_tuple(0, 1, true), std::make_tuple(-3, 1, true),
        std::make_tuple(7, 7, false)}) {
    KestuEyeConfig config;
    face_testing::Prop(config.mutable_config(),
                       "person_classification_skip_frames")
        .set_integer_value(skip);
    *config.add_models() = ContractSsdModel("face_person_ssd_contract.onnx",
                                            "SSD-DETECTOR", "0.0.2");
    FacePersonDetector detector;
    kestu_testing::StderrCapture capture;
    ASSERT_TRUE(detector.Load(config, config.models(0)));
    EXPECT_EQ(detector.settings().person_classification_skip_frames, read);
    EXPECT_EQ(capture.Contains("WARNING: person_classification_skip_frames"),
              warned);
  }
}

KestuEyeConfig PersonConfig(bool enable_people) {
  KestuEyeConfig config;
  Entity* c = config.mutable_config();
  face_testing::Prop(c, "enable_person_detection")
      .set_boolean_value(enable_people);
  return config;
}

// The combined contract: one face row at (0.4, 0.2)-(0.5, 0.4) and two
// people, (0.3, 0.1)-(0.6, 0.95) and (0.8, 0.6)-(0.95, 0.95).
class CombinedContractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = PersonConfig(true);
    *config_.add_models() = ContractSsdModel("face_person_ssd_contract.onnx",
                                             "SSD-DETECTOR", "0.0.2");
    // Full-body gender: the contract classifier says "male" for a red
    // crop (the frame below is red).
    *config_.add_models() = face_testing::OnnxModel(
        "face_binary_classifier.onnx", "GENDER_FULL", {"female", "male"});
    face_testing::Prop(config_.mutable_config(), "full_body_gender")
        .set_boolean_value(true);
    kestu_testing::StderrCapture quiet;
    ASSERT_TRUE(detector_.Load(config_, config_.models(0)));
    face_tracker_.Configure(Entity());
  }

  // One frame: people detected (or not) and the face tracker updated with
  // the given faces.
  VisionResult Frame(bool people, const std::vector<cv::Rect>& faces) {
    ++frame_number_;
    FaceFinds finds;
    if (people) finds = detector_.Detect(frame_, cv::Mat(), frame_number_);
    face_tracker_.Update(faces);
    VisionResult result;
    detector_.TrackExtra(frame_, cv::Mat(), frame_number_, finds.people,
                         &result, &face_tracker_);
    face_tracker_.GetTracks();
    for (const Track& face : face_tracker_.EndedTracks()) {
      RectangularDetection final_detection;
      detector_.FaceEnded(face, &final_detection, false);
      final_faces_.push_back(final_detection);
    }
    detector_.FinishFrame(frame_, cv::Mat(), frame_number_, &result);
    return result;
  }

  KestuEyeConfig config_;
  FacePersonDetector detector_;
  Tracker face_tracker_;
  cv::Mat frame_{480, 640, CV_8UC3, cv::Scalar(40, 40, 200)};
  int64_t frame_number_ = 0;
  std::vector<RectangularDetection> final_faces_;
};

TEST_F(CombinedContractTest,
       FacesFromTheFaceOutputPeopleFromThePedestrianOutput) {
  const FaceFinds finds = detector_.Detect(frame_, cv::Mat(), 1);
  const std::vector<cv::Rect>& faces = finds.faces;
  const std::vector<float>& scores = finds.scores;
  // Row 2 (confidence 0.005) is below the default threshold 0.01.
  ASSERT_EQ(faces.size(), 1u);
  EXPECT_EQ(faces[0],
            FacePersonDetector::FaceBoxFromNetwork(cv::Rect(256, 96, 65, 97)));
  EXPECT_FLOAT_EQ(scores[0], 0.9f);
  EXPECT_EQ(detector_.Regions(),
            std::vector<cv::Rect>{cv::Rect(0, 0, 640, 480)});
}

TEST_F(CombinedContractTest, PeopleAreReportedAndTheBodyOfAFaceDoesNotEnd) {
  // The face sits inside the first person for 10 frames.
  const cv::Rect face(260, 120, 50, 60);
  VisionResult result;
  for (int i = 0; i < 10; ++i) result = Frame(true, {face});
  std::vector<uint64_t> reported;
  for (const auto& d : result.rect_detection()) {
    EXPECT_EQ(d.tag(), v1::PERSON);
    EXPECT_EQ(d.type(), "person");
    ASSERT_EQ(d.facial_recognition_size(), 2);
    EXPECT_EQ(d.facial_recognition(0).tag(), v1::HEAD_POSE);
    EXPECT_EQ(d.facial_recognition(1).gender(), v1::FacialRecognition::MALE);
    EXPECT_GE(d.tracking_id(), 65536u);
    reported.push_back(d.tracking_id());
  }
  ASSERT_EQ(reported.size(), 2u);
  const std::vector<Track>& people = detector_.person_tracker().tracks();
  ASSERT_EQ(people.size(), 2u);
  EXPECT_EQ(reported[0], ReportedPersonId(people[0].id));

  // Everything leaves: the face at once, the people when their tracks die
  // (person frames to discard: 15 + 10).
  std::vector<uint64_t> ended;
  for (int i = 0; i < 40; ++i) {
    result = Frame(false, {});
    for (const auto& e : result.vision_event()) {
      EXPECT_EQ(e.tag(), v1::TRACKING_END);
      ended.push_back(e.tracking_id());
      ASSERT_EQ(result.rect_detection_size(), 1);
      EXPECT_EQ(result.rect_detection(0).tracking_id(), e.tracking_id());
    }
  }
  // The first person was the face's body: only the second one ends, and
  // the face took the body's full-body gender.
  EXPECT_EQ(ended, std::vector<uint64_t>{reported[1]});
  ASSERT_EQ(final_faces_.size(), 1u);
  ASSERT_EQ(final_faces_[0].facial_recognition_size(), 1);
  EXPECT_EQ(final_faces_[0].facial_recognition(0).gender(),
            v1::FacialRecognition::MALE);
  EXPECT_EQ(detector_.PersonStateSize(), 0u);
}

TEST(SeparateModelsTest, RealFaceModelAndAPersonModel) {
  KestuEyeConfig config = PersonConfig(true);
  *config.add_models() = SsdFaceModel(0.7);
  *config.add_models() = ContractSsdModel("person_ssd_contract.onnx", "SSD",
                                          "1", {"background", "person"});
  FacePersonDetector detector;
  kestu_testing::StderrCapture quiet;
  ASSERT_TRUE(detector.Load(config, config.models(0)));
  EXPECT_FALSE(detector.combined());
  EXPECT_TRUE(detector.has_person_model());
  const FaceFinds finds = detector.Detect(ClipFrame(30), cv::Mat(), 1);
  const std::vector<cv::Rect>& faces = finds.faces;
  const std::vector<float>& scores = finds.scores;
  // The man's face only (the T-shirt print scores below 0.7).
  ASSERT_EQ(faces.size(), 1u);
  EXPECT_GT((faces[0] & kFaceBox30).area(), kFaceBox30.area() * 0.6);
  EXPECT_GT(scores[0], 0.9f);
  // The person model's rows of class "person" only.
  Tracker faces_tracker;
  VisionResult result;
  for (int64_t n = 2; n <= 5; ++n) {
    const FaceFinds frame = detector.Detect(ClipFrame(30), cv::Mat(), n);
    detector.TrackExtra(ClipFrame(30), cv::Mat(), n, frame.people, &result,
                        &faces_tracker);
  }
  ASSERT_EQ(result.rect_detection_size(), 1);
  EXPECT_EQ(result.rect_detection(0).location().x(), 192);
}

TEST(TinySsdTest, FindsTheManOnTheWholeFrame) {
  KestuEyeConfig config;
  *config.add_models() = SsdFaceModel(0.5);
  TinySSDDetectorAdapter detector;
  kestu_testing::StderrCapture quiet;
  ASSERT_TRUE(detector.Load(config, config.models(0)));
  const FaceFinds finds = detector.Detect(ClipFrame(30), cv::Mat(), 1);
  const std::vector<cv::Rect>& faces = finds.faces;
  const std::vector<float>& scores = finds.scores;
  // The face and the skull print on the T-shirt (on the whole frame at
  // 346 x 259 the print scores about 0.67).
  ASSERT_EQ(faces.size(), 2u);
  EXPECT_GT((faces[0] & kFaceBox30).area(), kFaceBox30.area() * 0.8);
  EXPECT_GT(scores[0], 0.9f);
  EXPECT_GT(scores[1], 0.5f);
  EXPECT_LT(scores[1], 0.8f);
  EXPECT_EQ(detector.Regions(),
            std::vector<cv::Rect>{cv::Rect(0, 0, 640, 480)});
}

TEST(TinySsdTest, UnloadableModelWritesItsError) {
  Entity model = SsdFaceModel();
  (*model.mutable_properties())["content"]
      .mutable_entity_value()
      ->mutable_properties()
      ->erase("caffemodel_file");
  KestuEyeConfig config;
  TinySSDDetectorAdapter detector;
  kestu_testing::StderrCapture capture;
  EXPECT_FALSE(detector.Load(config, model));
  EXPECT_TRUE(capture.Contains("Error loading SSD model"));
}

// Persons reserve their reported id in the shared counter: however many
// tracks the process makes, no face track is ever given it.
TEST(PersonIdTest, NoFaceIdMeetsAReportedPersonIdPast65536Tracks) {
  Tracker::Parameters person_parameters;
  person_parameters.reserved_id_offset = kPersonIdOffset;
  Tracker people;
  people.Configure(person_parameters);
  people.Update({cv::Rect(0, 0, 50, 100)});
  ASSERT_EQ(people.tracks().size(), 1u);
  const int64_t reported =
      static_cast<int64_t>(ReportedPersonId(people.tracks()[0].id));

  // Face tracks that live one frame each, alternately at two places.
  Tracker::Parameters face_parameters;
  face_parameters.frames_to_discard = 0;
  Tracker faces;
  faces.Configure(face_parameters);
  int64_t last = 0;
  bool met = false;
  for (int i = 0; last <= reported; ++i) {
    faces.Update({cv::Rect(i % 2 == 0 ? 0 : 300, 0, 40, 40)});
    for (const Track& t : faces.tracks()) {
      met = met || t.id == reported;
      last = std::max<int64_t>(last, t.id);
    }
  }
  EXPECT_FALSE(met);
  EXPECT_GT(last, reported);
}

}  // namespace
}  // namespace talvenrook_vision
