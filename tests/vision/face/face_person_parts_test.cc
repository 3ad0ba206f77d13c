// The parts FacePersonDetector is composed of, where their rules can be
// checked directly: the attention keys read through the detector's key
// table, and which person is the body of a face.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "face_test_util.h"
#include "tests/testing/test_util.h"
#include "vision/face/detect/face_body_links.h"
#include "vision/face/detect/face_person_keys.h"

namespace talvenrook_vision {
namespace {

using face_testing::ParseEntity;

std::string Roi(int x, const std::string& extra) {
  return "values { entity_value { "
         "properties { key: 'x' value { integer_value: " +
         std::to_string(x) +
         " } } "
         "properties { key: 'y' value { integer_value: 0 } } "
         "properties { key: 'width' value { integer_value: 50 } } "
         "properties { key: 'height' value { integer_value: 40 } } " +
         extra + " } } ";
}

// The key table and the reader of the attention keys give one reading of
// a map: the map-level flow keys are every ROI's defaults, whatever the
// order the keys come in.
TEST(FacePersonKeysTest, AttentionKeysReadAsTheAttentionReaderReadsThem) {
  const std::string rois =
      "properties { key: 'attention_rois' value { array_value { " + Roi(0, "") +
      Roi(60,
          "properties { key: 'module_threshold' value { double_value: 7 } } "
          "properties { key: 'angle_flow' value { integer_value: 90 } } "
          "properties { key: 'angle_threshold' value { integer_value: 30 } "
          "}") +
      "values { entity_value { properties { key: 'x' value { integer_value: "
      "5 } } } } } } } ";
  const std::string defaults =
      "properties { key: 'module_threshold' value { double_value: 2.5 } } "
      "properties { key: 'optical_feature_points' value { integer_value: 300 "
      "} } ";
  const std::string point =
      "properties { key: 'attention_point' value { entity_value { "
      "properties { key: 'x' value { integer_value: 320 } } "
      "properties { key: 'samples' value { integer_value: 4 } } } } } ";
  for (const std::string& text :
       {rois + defaults, defaults + rois, rois + defaults + point}) {
    const Entity config = ParseEntity(text);
    kestu_testing::StderrCapture capture;
    FacePersonSettings settings;
    WriteKeyProblems(FacePersonKeyTable().Read(config, &settings));
    const AttentionSettings expected = ReadAttentionSettings(config);
    const AttentionSettings& read = settings.attention;
    ASSERT_EQ(read.rois.size(), 2u) << text;
    ASSERT_EQ(expected.rois.size(), 2u) << text;
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(read.rois[i].rect, expected.rois[i].rect);
      EXPECT_EQ(read.rois[i].module_threshold,
                expected.rois[i].module_threshold);
      EXPECT_EQ(read.rois[i].feature_points, expected.rois[i].feature_points);
      EXPECT_EQ(read.rois[i].has_flow, expected.rois[i].has_flow);
      EXPECT_EQ(read.rois[i].angle_flow, expected.rois[i].angle_flow);
    }
    EXPECT_EQ(read.rois[0].module_threshold, 2.5);
    EXPECT_EQ(read.rois[0].feature_points, 300);
    EXPECT_EQ(read.rois[1].module_threshold, 7.0);
    EXPECT_TRUE(read.rois[1].has_flow);
    EXPECT_EQ(read.has_point, expected.has_point);
    EXPECT_EQ(read.point.point, expected.point.point);
    EXPECT_EQ(read.point.samples, expected.point.samples);
    EXPECT_TRUE(capture.Contains("ERROR: ROI definition error"));
  }
}

Track At(int32_t id, const cv::Rect& box) {
  Track track;
  track.id = id;
  track.box = box;
  return track;
}

TEST(FaceBodyLinksTest, TheBodyIsThePersonThatHeldTheFaceMostOften) {
  const cv::Rect face(20, 20, 10, 10);
  const cv::Rect around(0, 0, 100, 100);
  const cv::Rect elsewhere(200, 0, 100, 100);
  struct Case {
    std::string name;
    int frames_a;  // frames person 1 holds face 7
    int frames_b;  // frames person 2 holds it
    bool published;
    int32_t body;
    bool a_is_body;  // after the face is gone
  };
  const Case cases[] = {
      {"one person", 3, 0, true, 1, false},
      {"the longer wins", 4, 6, true, 2, false},
      {"a tie has no body", 4, 4, true, -1, false},
      {"held long enough", 6, 0, true, 1, true},
      {"unpublished: none, counts reset", 6, 0, false, -1, false},
  };
  for (const Case& c : cases) {
    FaceBodyLinks links;
    const Track face_track = At(7, face);
    for (int i = 0; i < std::max(c.frames_a, c.frames_b); ++i) {
      const Track a = At(1, i < c.frames_a ? around : elsewhere);
      const Track b = At(2, i < c.frames_b ? around : elsewhere);
      links.Associate({&a, &b}, {&face_track});
    }
    EXPECT_EQ(links.BodyOfEndedFace(7, !c.published), c.body) << c.name;
    links.ForgetFaces({7});
    EXPECT_EQ(links.IsBody(1), c.a_is_body) << c.name;
    links.ForgetPerson(1);
    links.ForgetPerson(2);
    EXPECT_FALSE(links.IsBody(1)) << c.name;
    EXPECT_EQ(links.size(), 0u) << c.name;
  }
}

}  // namespace
}  // namespace talvenrook_vision
