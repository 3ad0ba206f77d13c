// The one preprocessing stage of the crowd and vehicle pipelines: one
// day/night verdict per frame for CLAHE, the region models and
// moment_of_day, and the asynchronous path doing what Process does.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/vision/objects/objects_test_util.h"
#include "vision/objects/clahe_enhancer.h"
#include "vision/objects/crowd_analytics_video_v1.h"
#include "vision/objects/vehicle_analytics_video_v1.h"
#include "vision/regions/night_solution.h"

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using testing_util::BegunAhead;
using testing_util::EventsOf;
using testing_util::EyeConfig;
using testing_util::VerticalZone;
using testing_util::Walk;
using testing_util::YoloPersonModel;

constexpr char kNightWithClahe[] = R"pb(
  properties { key: "use_night_solution" value { boolean_value: true } }
  properties { key: "use_day_night_classifier" value { boolean_value: false } }
  properties { key: "threshold_day_night" value { double_value: 0.25 } }
  properties { key: "clahe" value { entity_value {
    properties { key: "clip_limit" value { double_value: 4.0 } }
    properties { key: "tiles_grid_size_x" value { integer_value: 8 } }
    properties { key: "tiles_grid_size_y" value { integer_value: 8 } }
    properties { key: "use_at_night" value { boolean_value: true } }
    properties { key: "use_at_day" value { boolean_value: false } } } } })pb";

// Grey noise from 0 to 80: dark as it comes, spread over the whole range
// once CLAHE has equalised it.
cv::Mat DarkNoise() {
  cv::Mat grey(432, 960, CV_8UC1);
  cv::RNG rng(11);
  rng.fill(grey, cv::RNG::UNIFORM, 0, 81);
  cv::Mat frame;
  cv::cvtColor(grey, frame, cv::COLOR_GRAY2BGR);
  return frame;
}

TEST(PreprocessingTest, OneVerdictChoosesClaheTheRegionModelsAndTheMoment) {
  const KestuEyeConfig config =
      EyeConfig(kNightWithClahe,
                {YoloPersonModel("YOLO"), YoloPersonModel("YOLO-NIGHT")});
  const cv::Mat dark = DarkNoise();
  // The frame is night as it comes and day once enhanced: judging it again
  // after the enhancement would disagree.
  NightSolution judge;
  ASSERT_TRUE(judge.Configure(config).ok());
  ClaheEnhancer clahe;
  clahe.Configure(config.config());
  ASSERT_EQ(judge.Judge(dark), NightSolution::kNight);
  ASSERT_EQ(judge.Judge(clahe.Apply(dark, NightSolution::kNight)),
            NightSolution::kDay);

  CrowdAnalyticsVideoV1 crowd;
  ASSERT_TRUE(crowd.Setup(config).ok());
  const VisionResult result = crowd.Process({}, dark);
  EXPECT_EQ(result.moment_of_day(), v1::NIGHT);
  const auto& rois = crowd.object_analytics()->regions().rois();
  ASSERT_EQ(rois.size(), 1u);
  EXPECT_TRUE(rois[0]->night());
  EXPECT_EQ(rois[0]->ActiveAdapter()->TypeVersion().first, "YOLO-NIGHT");
}

TEST(PreprocessingTest, TheDayNightNetworkIsLoadedOnceAndRunOncePerFrame) {
  KestuEyeConfig config = EyeConfig(R"pb(
    properties { key: "use_night_solution" value { boolean_value: true } })pb",
                                    {YoloPersonModel()});
  *config.add_models() = testing_util::DayNightModel();
  VehicleAnalyticsVideoV1 vehicle;
  ASSERT_TRUE(vehicle.Setup(config).ok());
  EXPECT_TRUE(vehicle.preprocessor().night_solution().has_classifier());
  EXPECT_FALSE(
      vehicle.object_analytics()->regions().night_solution().has_classifier());
  EXPECT_EQ(vehicle.Process({}, testing_util::PersonAt(-1)).moment_of_day(),
            v1::DAY);
}

class VehiclePathTest : public ::testing::TestWithParam<bool> {};

TEST_P(VehiclePathTest, BothPathsConfirmFilterCountAndFollow) {
  ManualTrackingClock clock;
  VehicleAnalyticsVideoV1 vehicle;
  vehicle.SetClock(&clock);
  ASSERT_TRUE(vehicle
                  .Setup(EyeConfig(VerticalZone(480, "Road") + R"pb(
    properties { key: "allow_backward_motion" value { boolean_value: false } }
    properties { key: "use_night_solution" value { boolean_value: true } }
    properties { key: "tracker_frames_to_discard" value { integer_value: 4 } })pb",
                                   {YoloPersonModel()}))
                  .ok());
  vehicle.SetMonitorPerformance(true);
  BegunAhead pushed(&vehicle);
  VisionAnalytics* run =
      GetParam() ? static_cast<VisionAnalytics*>(&pushed) : &vehicle;
  std::vector<VisionResult> results =
      Walk(run, &clock, 800, 160, 16, /*tail=*/6);
  EXPECT_TRUE(EventsOf(results, v1::ZONE_EXIT).empty());  // backward: dropped
  EXPECT_TRUE(vehicle.statistics().counts().empty());
  const std::vector<VisionResult> forward =
      Walk(run, &clock, 160, 800, 16, /*tail=*/6);
  results.insert(results.end(), forward.begin(), forward.end());
  const auto exits = EventsOf(results, v1::ZONE_EXIT);
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0].zone_direction(), v1::FORWARD);
  EXPECT_EQ(vehicle.statistics().counts().at("Road"), 1);
  EXPECT_EQ(vehicle.frame_counter(), static_cast<int64_t>(results.size()));
  EXPECT_FALSE(vehicle.vehicle_tracker()->tracks().empty());
  for (const VisionResult& result : results)
    EXPECT_EQ(result.moment_of_day(), v1::DAY);
  // Both ways time every part of the last frame, Begin's part included.
  v1::FrameData timed;
  vehicle.performance().ExportSections(timed.mutable_sections());
  for (const char* section : {"Preprocessing", "Detection", "Classification"}) {
    ASSERT_EQ(timed.sections().count(section), 1u) << section;
    EXPECT_GE(timed.sections().at(section), 0.0f) << section;  // not NaN
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, VehiclePathTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "BegunAhead" : "Process";
                         });

}  // namespace
}  // namespace talvenrook_vision
