// The face driver without a client: the request its configuration asks
// for, the published tags, its drawing settings, the face label, the log
// line and the preview drawing.
#include <regex>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "src/drivers/driver_face.h"
#include "tests/testing/test_util.h"
#include "tests/vision/face/face_test_util.h"

namespace vostek_kestu {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using talvenrook_vision::face_testing::ParseEntity;

DriverConfig FaceConfig(const std::string& config_text,
                        const std::vector<std::string>& model_types = {}) {
  DriverConfig config;
  config.set_uuid("6f1c2b1e-3c1d-4e0a-9a8b-2f6d5c4b3a21");
  KestuEyeConfig* eye = config.mutable_kestu_eye_config();
  *eye->mutable_config() = ParseEntity(config_text);
  for (const std::string& type : model_types) {
    Entity* model = eye->add_models();
    (*model->mutable_properties())["type"].set_string_value(type);
  }
  return config;
}

std::vector<int> Recognitions(const VisionRequest& request) {
  return std::vector<int>(request.recognition().begin(),
                          request.recognition().end());
}

TEST(FaceRequestTest, WithKeysAndModelTypesChooseTheRecognitions) {
  struct Case {
    std::string name, config;
    std::vector<std::string> models;
    std::vector<int> recognitions;
    bool face_detection;
  };
  const std::vector<int> defaults = {v1::HEAD_POSE, v1::AGE, v1::GENDER,
                                     v1::EMOTION};
  const Case cases[] = {
      {"defaults", "", {}, defaults, true},
      {"mask and spoof models",
       "",
       {"MASK", "SPOOF"},
       {v1::HEAD_POSE, v1::AGE, v1::GENDER, v1::EMOTION, v1::MASK, v1::SPOOF},
       true},
      {"mask asked without a model",
       "properties { key: 'with_mask' value { boolean_value: true } }",
       {},
       defaults,
       true},
      {"mask model but off",
       "properties { key: 'with_mask' value { boolean_value: false } }",
       {"MASK"},
       defaults,
       true},
      {"features, no detection",
       "properties { key: 'with_face_features' value { boolean_value: true } } "
       "properties { key: 'with_detection' value { boolean_value: false } } "
       "properties { key: 'with_age' value { integer_value: 1 } }",
       {},
       {v1::GENDER, v1::EMOTION, v1::FACE_FEATURES},
       false},
  };
  for (const Case& c : cases) {
    const VisionRequest request = FaceDriver::RequestFor(
        FaceConfig(c.config, c.models).kestu_eye_config());
    EXPECT_EQ(Recognitions(request), c.recognitions) << c.name;
    EXPECT_EQ(request.detection_size(), c.face_detection ? 1 : 0) << c.name;
  }
}

// The face settings the driver holds, after a configuration.
FaceOptions FaceSettings(const Driver& driver) {
  return dynamic_cast<const FaceOptions&>(*driver.kind_options());
}

class FaceDriverConfigureTest : public ::testing::Test {
 protected:
  Driver driver_{FaceDriver::Kind()};
  kestu_testing::StderrCapture quiet_;
};

TEST_F(FaceDriverConfigureTest, EntryEventsAreAddedAndRemovedAgain) {
  EXPECT_EQ(driver_.published_event_tags(),
            std::set<EventTag>{v1::TRACKING_END});
  driver_.Configure(
      FaceConfig("properties { key: 'publish_entry_events' value { "
                 "boolean_value: true } }"));
  EXPECT_EQ(driver_.published_event_tags(),
            (std::set<EventTag>{v1::TRACKING_START, v1::TRACKING_END}));
  driver_.Configure(FaceConfig(""));
  EXPECT_EQ(driver_.published_event_tags(),
            std::set<EventTag>{v1::TRACKING_END});
}

std::string Rois(int count) {
  std::string values;
  for (int i = 0; i < count; ++i) {
    values +=
        "values { entity_value { properties { key: 'x' value { "
        "integer_value: " +
        std::to_string(10 * i) +
        " } } properties { key: 'y' value { integer_value: 0 } } "
        "properties { key: 'width' value { integer_value: 5 } } "
        "properties { key: 'height' value { integer_value: 6 } } } } ";
  }
  return "properties { key: 'attention_rois' value { array_value { " + values +
         "} } } ";
}

TEST_F(FaceDriverConfigureTest, AttentionRoisReplaceTheEarlierOnes) {
  driver_.Configure(FaceConfig(Rois(2)));
  driver_.Configure(FaceConfig(Rois(2)));
  EXPECT_EQ(FaceSettings(driver_).attention_rois,
            (std::vector<cv::Rect>{{0, 0, 5, 6}, {10, 0, 5, 6}}));
  // Absent: kept.
  driver_.Configure(FaceConfig(""));
  EXPECT_EQ(FaceSettings(driver_).attention_rois.size(), 2u);
}

TEST_F(FaceDriverConfigureTest, DrawingKeysKeepTheirValuesWhenAbsent) {
  driver_.Configure(FaceConfig(
      "properties { key: 'show_confidence' value { boolean_value: true } } "
      "properties { key: 'tracker_frames_to_discard' value { double_value: 9 } "
      "} "
      "properties { key: 'draw_attention_point' value { boolean_value: true } "
      "} "
      "properties { key: 'attention_point' value { entity_value { "
      "  properties { key: 'x' value { integer_value: 320 } } "
      "  properties { key: 'y' value { integer_value: 240 } } "
      "  properties { key: 'distance_check_direction' value { integer_value: "
      "90 } } "
      "  properties { key: 'distance_force_looking' value { string_value: '1' "
      "} } "
      "} } }"));
  EXPECT_TRUE(FaceSettings(driver_).show_confidence);
  EXPECT_EQ(FaceSettings(driver_).tracker_frames_to_discard,
            0);  // not an integer
  EXPECT_TRUE(FaceSettings(driver_).draw_attention_point);
  const FaceDriver::AttentionPoint p = FaceSettings(driver_).attention_point;
  EXPECT_EQ(p.x, 320);
  EXPECT_EQ(p.check_radius, 90.0);
  EXPECT_EQ(p.looking_radius, 0.0);
  driver_.Configure(FaceConfig(""));
  EXPECT_TRUE(FaceSettings(driver_).show_confidence);
  EXPECT_EQ(FaceSettings(driver_).attention_point.y, 240);
}

TEST_F(FaceDriverConfigureTest, AMissingRequiredKeyChangesNothing) {
  driver_.Configure(FaceConfig(Rois(1)));
  const DriverConfig bad = FaceConfig(
      "properties { key: 'publish_entry_events' value { boolean_value: true } "
      "} "
      "properties { key: 'attention_point' value { entity_value { "
      "  properties { key: 'x' value { integer_value: 1 } } } } }" +
      Rois(3));
  EXPECT_THROW(driver_.Configure(bad), talvenrook_vision::MissingPropertyError);
  EXPECT_EQ(FaceSettings(driver_).attention_rois.size(), 1u);
  EXPECT_EQ(driver_.published_event_tags().count(v1::TRACKING_START), 0u);
}

v1::RectangularDetection LabelledDetection() {
  v1::RectangularDetection d;
  auto* gender = d.add_facial_recognition();
  gender->set_tag(v1::GENDER);
  gender->set_gender(v1::FacialRecognition::MALE);
  gender->set_confidence(0.91f);
  auto* age = d.add_facial_recognition();
  age->set_tag(v1::AGE);
  age->set_age(30);
  auto* emotion = d.add_facial_recognition();
  emotion->set_tag(v1::EMOTION);
  emotion->set_emotion(v1::FacialRecognition::HAPPY);
  emotion->set_confidence(0.8f);
  auto* mask = d.add_facial_recognition();
  mask->set_tag(v1::MASK);
  mask->set_mask(true);
  mask->set_confidence(0.7f);
  d.set_distance(1.5f);
  return d;
}

TEST(FaceLabelTest, PartsWithAndWithoutConfidence) {
  const v1::RectangularDetection d = LabelledDetection();
  EXPECT_EQ(FaceDriver::FaceLabel(d, true),
            "MALE (0.91), Adult, HAPPY (0.80), USING MASK(0.70), 1.50m");
  EXPECT_EQ(FaceDriver::FaceLabel(d, false),
            "MALE, Adult, HAPPY, USING MASK, 1.50m");
  v1::RectangularDetection spoof;
  spoof.add_facial_recognition()->set_spoof(true);
  EXPECT_EQ(FaceDriver::FaceLabel(spoof, false), "SPOOF");
  EXPECT_EQ(FaceDriver::FaceLabel(v1::RectangularDetection(), true), "");
}

TEST(FaceLabelTest, AgeClasses) {
  for (const auto& [age, name] :
       std::vector<std::pair<int, std::string>>{{14, "Children"},
                                                {15, "Young Adult"},
                                                {22, "Young Adult"},
                                                {56, "Adult"},
                                                {57, "Senior"}}) {
    EXPECT_EQ(FaceDriver::AgeClassName(age), name) << age;
  }
}

TEST(FaceLogTest, DetectionLineFormat) {
  VisionResult result;
  *result.add_rect_detection() = LabelledDetection();
  result.mutable_rect_detection(0)->set_type("face");
  auto* glasses = result.mutable_rect_detection(0)->add_facial_recognition();
  glasses->set_tag(v1::HAVE_GLASS);
  glasses->set_have_glass(true);
  auto* event = result.add_vision_event();
  event->set_tag(v1::TRACKING_END);
  event->set_session_time(2.5f);
  event->set_dwell_time(1.25f);
  event->set_tracking_id(42);
  result.set_uuid("u");
  EXPECT_EQ(FaceDriver::DetectionLine(result),
            "Detection: {type: face, gender: MALE, age: 30, emotion: HAPPY, "
            "have glasses: 1, session time: 2.5, dwell time: 1.25, "
            "tracking id: 42, uuid: u}");
}

// The preview of one face that looks (green), one that ends in this result
// (not drawn) and one person (no box).
TEST(FaceDrawTest, EndingFacesAndPeopleGetNoBox) {
  VisionResult result;
  auto add = [&](uint64_t id, const std::string& type, int x, bool looking) {
    v1::RectangularDetection* d = result.add_rect_detection();
    d->set_tracking_id(id);
    d->set_type(type);
    d->mutable_location()->set_x(x);
    d->mutable_location()->set_y(50);
    d->mutable_location()->set_width(40);
    d->mutable_location()->set_height(40);
    auto* pose = d->add_facial_recognition();
    pose->set_tag(v1::HEAD_POSE);
    pose->set_is_looking(looking);
  };
  add(1, "face", 20, true);
  add(2, "face", 100, false);
  add(65539, "person", 180, false);
  add(3, "face", 260, false);
  auto* end = result.add_vision_event();
  end->set_tag(v1::TRACKING_END);
  end->set_tracking_id(2);
  cv::Mat image(200, 400, CV_8UC3, cv::Scalar(0, 0, 0));
  Driver driver(FaceDriver::Kind());
  driver.DrawResults(result, image);
  auto pixel = [&](int x, int y) { return image.at<cv::Vec3b>(y, x); };
  EXPECT_EQ(pixel(40, 50), cv::Vec3b(0, 255, 0));       // looking: green
  EXPECT_EQ(pixel(120, 50), cv::Vec3b(0, 0, 0));        // ends: nothing
  EXPECT_EQ(pixel(200, 50), cv::Vec3b(0, 0, 0));        // person: no box
  EXPECT_EQ(pixel(280, 50), cv::Vec3b(192, 192, 192));  // not looking
}

}  // namespace
}  // namespace vostek_kestu
