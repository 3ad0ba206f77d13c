// Motion gating of the object pipeline with the real person model: a still
// scene is looked at every max_skip frames, a person coming in is found at
// once, and on the people clip gating counts what detecting every frame
// counts.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include "tests/vision/objects/objects_test_util.h"
#include "vision/objects/ssd_analytics_video_v1.h"

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using testing_util::EventsOf;
using testing_util::EyeConfig;
using testing_util::PersonAt;
using testing_util::YoloPersonModel;

constexpr char kGating[] = R"pb(
  properties { key: "motion_gating" value { boolean_value: true } }
  properties { key: "motion_gating_max_skip" value { integer_value: 10 } })pb";

float Section(const VisionResult& result, const std::string& name) {
  const auto& sections = result.frame_data().sections();
  auto it = sections.find(name);
  return it == sections.end() ? -1.0f : it->second;
}

TEST(MotionGatingTest, AStillSceneIsDetectedEveryMaxSkipFrames) {
  ManualTrackingClock clock;
  SSDAnalyticsVideoV1 pipeline;
  pipeline.SetClock(&clock);
  ASSERT_TRUE(pipeline.Setup(EyeConfig(kGating, {YoloPersonModel()})).ok());
  const cv::Mat still = PersonAt(400);
  std::vector<float> detected;
  int reported = 0;
  for (int frame = 0; frame < 45; ++frame) {
    clock.AdvanceTicks(100);
    const VisionResult result = pipeline.Process({}, still);
    detected.push_back(Section(result, "detected_frames"));
    reported += result.rect_detection_size() > 0 ? 1 : 0;
  }
  // Frames 1, 11, 21, 31 and 41 run the detector; the rest are skipped.
  EXPECT_EQ(pipeline.motion_gate().detected(), 5);
  EXPECT_EQ(pipeline.motion_gate().skipped(), 40);
  EXPECT_FLOAT_EQ(detected[0], 1.0f);
  EXPECT_FLOAT_EQ(detected[9], 1.0f);
  EXPECT_FLOAT_EQ(detected[10], 2.0f);
  // Confirmed after its fourth detection (frame 31), the person is then
  // reported on every frame, detected or carried.
  EXPECT_EQ(reported, 45 - 30);
}

TEST(MotionGatingTest, APersonComingIntoAStillSceneIsDetectedAtOnce) {
  ManualTrackingClock clock;
  SSDAnalyticsVideoV1 pipeline;
  pipeline.SetClock(&clock);
  ASSERT_TRUE(
      pipeline
          .Setup(EyeConfig(
              std::string(kGating) +
                  R"pb(properties { key: "enable_tracker" value { boolean_value: false } })pb",
              {YoloPersonModel()}))
          .ok());
  for (int frame = 0; frame < 15; ++frame) pipeline.Process({}, PersonAt(-1));
  const int64_t before = pipeline.motion_gate().detected();
  // He comes in at frame 15 and walks on.
  int first_seen = -1;
  for (int frame = 0; frame < 5 && first_seen < 0; ++frame) {
    const VisionResult result =
        pipeline.Process({}, PersonAt(300 + 20 * frame));
    if (result.rect_detection_size() > 0) first_seen = frame;
  }
  EXPECT_GE(first_seen, 0);
  EXPECT_LE(first_seen, 1);
  EXPECT_GT(pipeline.motion_gate().detected(), before);
}

// The walkway of the people clip, frames 0-279, with the crowd sample's
// tracker settings (at the test model's input): gated and ungated counts
// agree within one per direction.
TEST(MotionGatingTest, GatedCountsOnThePeopleClipMatchUngated) {
  const std::string config = R"pb(
    properties { key: "tracker_motion_model" value { string_value: "constant_velocity" } }
    properties { key: "tracker_association" value { string_value: "iou" } }
    properties { key: "tracker_min_travel" value { integer_value: 20 } }
    properties { key: "tracker_frames_to_discard" value { integer_value: 10 } }
    properties { key: "zones" value { array_value { values { entity_value {
      properties { key: "name" value { string_value: "Walkway" } }
      properties { key: "A" value { entity_value {
        properties { key: "x" value { integer_value: 320 } }
        properties { key: "y" value { integer_value: 130 } } } } }
      properties { key: "B" value { entity_value {
        properties { key: "x" value { integer_value: 320 } }
        properties { key: "y" value { integer_value: 330 } } } } }
      properties { key: "height" value { integer_value: 40 } }
      properties { key: "repeat" value { boolean_value: true } } } } } } })pb";
  auto count = [&](bool gated, int64_t* skipped) {
    cv::VideoCapture capture(
        "/usr/share/doc/opencv-doc/examples/data/vtest.avi");
    EXPECT_TRUE(capture.isOpened());
    ManualTrackingClock clock;
    SSDAnalyticsVideoV1 pipeline;
    pipeline.SetClock(&clock);
    EXPECT_TRUE(pipeline
                    .Setup(EyeConfig(config + (gated ? kGating : ""),
                                     {YoloPersonModel()}))
                    .ok());
    std::vector<VisionResult> results;
    cv::Mat frame;
    for (int i = 0; i < 280 && capture.read(frame); ++i) {
      clock.AdvanceTicks(100);
      results.push_back(pipeline.Process({}, frame));
    }
    *skipped = pipeline.motion_gate().skipped();
    int forward = 0, backward = 0;
    for (const auto& event : EventsOf(results, v1::ZONE_EXIT)) {
      (event.zone_direction() == v1::FORWARD ? forward : backward) += 1;
    }
    return std::make_pair(forward, backward);
  };
  int64_t skipped_gated = 0, skipped_plain = 0;
  const auto plain = count(false, &skipped_plain);
  const auto gated = count(true, &skipped_gated);
  EXPECT_EQ(skipped_plain, 0);
  EXPECT_NEAR(gated.first, plain.first, 1);
  EXPECT_NEAR(gated.second, plain.second, 1);
  EXPECT_GE(plain.first + plain.second, 4);
}

}  // namespace
}  // namespace talvenrook_vision
