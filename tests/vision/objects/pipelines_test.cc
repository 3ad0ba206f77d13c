// The crowd and vehicle pipelines around their object analytics: moment of
// day, statistics, measurements, vehicle confirmation, the backward filter
// and the family-car schedule, with the real YOLO-Fastest person model and
// small real Caffe classifiers (a brightness network standing in for the
// vehicle classifiers).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testing/test_util.h"
#include "tests/vision/objects/objects_test_util.h"
#include "vision/objects/crowd_analytics_video_v1.h"
#include "vision/objects/measurements.h"
#include "vision/objects/vehicle_analytics_video_v1.h"

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using testing_util::EventsOf;
using testing_util::EyeConfig;
using testing_util::ParseEntity;
using testing_util::PersonAt;
using testing_util::SetBlob;
using testing_util::SetString;
using testing_util::SubMap;
using testing_util::VerticalZone;
using testing_util::Walk;
using testing_util::YoloPersonModel;

constexpr char kShortTracks[] = R"pb(
  properties { key: "tracker_frames_to_discard" value { integer_value: 4 } })pb";

// A classifier over the mean grey level of its crop (first label above
// half brightness, second below), as a model of the given kind.
Entity BrightnessClassifier(const std::string& type, const std::string& first,
                            const std::string& second,
                            const std::string& engine = "CAFFE") {
  Entity model = ParseEntity(R"pb(
    properties { key: "version" value { string_value: "1" } }
    properties { key: "content" value { entity_value {
      properties { key: "input_scale" value { double_value: 0.00392156863 } } } } }
    properties { key: "config" value { entity_value {
      properties { key: "tracker_num_classes" value { integer_value: 2 } } } } })pb");
  SetString(&model, "type", type);
  SetString(&model, "engine", engine);
  Entity* content = SubMap(&model, "content");
  SetBlob(content, "prototxt", testing_util::ReadData("day_night.prototxt"));
  auto* labels =
      (*content->mutable_properties())["labels"].mutable_array_value();
  labels->add_values()->set_string_value(first);
  labels->add_values()->set_string_value(second);
  return model;
}

// The person model whose only class is named "car".
Entity PersonAsCarModel() {
  Entity model = YoloPersonModel();
  auto* labels = (*SubMap(&model, "content")->mutable_properties())["labels"]
                     .mutable_array_value();
  labels->mutable_values(0)->set_string_value("car");
  return model;
}

// --- Crowd ----------------------------------------------------------------

TEST(CrowdPipelineTest, CountsExitsStampsTheMomentAndMeasures) {
  ManualTrackingClock clock;
  CrowdAnalyticsVideoV1 crowd;
  crowd.SetClock(&clock);
  ASSERT_TRUE(
      crowd
          .Setup(EyeConfig(VerticalZone(480, "Door") + kShortTracks + R"pb(
        properties { key: "use_night_solution" value { boolean_value: true } }
        properties { key: "stats_options" value { entity_value {
          properties { key: "show_count_per_zone" value { boolean_value: true } } } } })pb",
                           {YoloPersonModel()}))
          .ok());
  ASSERT_NE(crowd.object_analytics(), nullptr);
  crowd.SetMonitorPerformance(true);
  const int64_t printed = CrowdMeasurementCounter().load();
  ::testing::internal::CaptureStdout();
  auto results = Walk(&crowd, &clock, 160, 800, 16, /*tail=*/2);
  const std::string out = ::testing::internal::GetCapturedStdout();
  // One report per frame, numbered by the process-wide counter.
  EXPECT_EQ(CrowdMeasurementCounter().load(),
            printed + static_cast<int64_t>(results.size()));
  EXPECT_NE(
      out.find("Measurements: (frame #" + std::to_string(printed + 1) + ")\n"),
      std::string::npos);

  ASSERT_EQ(EventsOf(results, v1::ZONE_EXIT).size(), 1u);
  EXPECT_EQ(crowd.statistics().counts().at("Door"), 1);
  // The grey canvas is day.
  for (const VisionResult& result : results)
    EXPECT_EQ(result.moment_of_day(), v1::DAY);
  // The asynchronous path judges the frame it pushes, as Process does.
  EXPECT_EQ(
      crowd
          .Finish(crowd.Begin(PersonAt(400), /*ahead=*/true), {}, PersonAt(400))
          .moment_of_day(),
      v1::DAY);

  // Draw: the statistics panel top right, the day indicator bottom right,
  // the zone's counting line in yellow at x = 480.
  cv::Mat frame = PersonAt(-1);
  crowd.Draw(frame);
  EXPECT_EQ(frame.at<cv::Vec3b>(10, testing_util::kCanvasWidth - 10),
            cv::Vec3b(0, 0, 0));
  EXPECT_EQ(frame.at<cv::Vec3b>(testing_util::kCanvasHeight - 10,
                                testing_util::kCanvasWidth - 10),
            cv::Vec3b(0, 0, 0));
  EXPECT_EQ(frame.at<cv::Vec3b>(300, 480), cv::Vec3b(0, 255, 255));
}

// Per-pass counting and the track summary: the person crosses the door,
// comes back across it and leaves the picture.
TEST(CrowdPipelineTest, RepeatedPassesAndTheSummaryOfTheEndedTrack) {
  ManualTrackingClock clock;
  CrowdAnalyticsVideoV1 crowd;
  crowd.SetClock(&clock);
  std::string zone = VerticalZone(480, "Door");
  const std::string height =
      R"pb(properties { key: "height" value { integer_value: 40 } })pb";
  zone.replace(
      zone.find(height), height.size(),
      height +
          R"pb( properties { key: "repeat" value { boolean_value: true } })pb");
  ASSERT_TRUE(crowd
                  .Setup(EyeConfig(zone + kShortTracks + R"pb(
        properties { key: "publish_track_summary" value { boolean_value: true } })pb",
                                   {YoloPersonModel()}))
                  .ok());
  std::vector<VisionResult> results = Walk(&crowd, &clock, 160, 800, 32);
  const std::vector<VisionResult> back =
      Walk(&crowd, &clock, 800, 160, 32, /*tail=*/6);
  results.insert(results.end(), back.begin(), back.end());

  const auto exits = EventsOf(results, v1::ZONE_EXIT);
  ASSERT_EQ(exits.size(), 2u);
  EXPECT_EQ(exits[0].zone_direction(), v1::FORWARD);
  EXPECT_EQ(exits[1].zone_direction(), v1::BACKWARD);
  EXPECT_EQ(exits[0].tracking_id(), exits[1].tracking_id());

  const auto ends = EventsOf(results, v1::TRACKING_END);
  ASSERT_EQ(ends.size(), 1u);
  const v1::VisionEvent& end = ends[0];
  EXPECT_EQ(end.tracking_id(), exits[0].tracking_id());
  ASSERT_EQ(end.crossings_size(), 2);
  EXPECT_EQ(end.crossings(0).zone_direction(), v1::FORWARD);
  EXPECT_EQ(end.crossings(1).zone_direction(), v1::BACKWARD);
  EXPECT_EQ(end.crossings(1).zone_name(), "Door");
  EXPECT_GT(end.crossings(0).speed(), 0.0f);
  EXPECT_GT(end.session_time(), 1.0f);
  // Born at the start of the walk, on the left.
  const auto& first = end.first_location();
  EXPECT_LT(first.x() + first.width() / 2, 300.0f);
  // The summary's result also holds the ended track's detection, with its
  // voted type, for the driver to publish beside the event.
  int with_detection = 0;
  for (const VisionResult& result : results) {
    for (const auto& event : result.vision_event()) {
      if (event.tag() != v1::TRACKING_END) continue;
      for (const auto& detection : result.rect_detection()) {
        if (detection.tracking_id() == event.tracking_id() &&
            detection.type() == "person") {
          ++with_detection;
        }
      }
    }
  }
  EXPECT_EQ(with_detection, 1);
  EXPECT_EQ(crowd.object_analytics()->summaries().TrackCount(), 0u);
}

TEST(CrowdPipelineTest, RefusedClaheKeepsNothingHalfBuilt) {
  CrowdAnalyticsVideoV1 crowd;
  EXPECT_THROW(crowd.Setup(EyeConfig(R"pb(
    properties { key: "clahe" value { entity_value {
      properties { key: "clip_limit" value { integer_value: 2 } }
      properties { key: "tiles_grid_size_x" value { integer_value: 8 } }
      properties { key: "tiles_grid_size_y" value { integer_value: 8 } }
      properties { key: "use_at_day" value { boolean_value: true } } } } })pb",
                                     {YoloPersonModel()})),
               MissingPropertyError);
  EXPECT_EQ(crowd.object_analytics(), nullptr);
}

// --- Vehicle --------------------------------------------------------------

class VehiclePipelineTest : public ::testing::Test {
 protected:
  void Setup(const std::string& config_text, std::vector<Entity> models) {
    vehicle_.SetClock(&clock_);
    ASSERT_TRUE(
        vehicle_.Setup(EyeConfig(config_text + kShortTracks, models)).ok());
  }

  ManualTrackingClock clock_;
  VehicleAnalyticsVideoV1 vehicle_;
};

TEST_F(VehiclePipelineTest, WithoutClassifiersEveryDetectionIsAVehicle) {
  Setup(VerticalZone(480, "Road"), {YoloPersonModel()});
  auto results = Walk(&vehicle_, &clock_, 160, 800, 16, /*tail=*/6);
  int detections = 0;
  for (const VisionResult& result : results) {
    for (const auto& detection : result.rect_detection()) {
      EXPECT_EQ(detection.type(), "person");
      ++detections;
    }
  }
  EXPECT_GE(detections, 30);
  EXPECT_EQ(EventsOf(results, v1::ZONE_EXIT).size(), 1u);
  EXPECT_EQ(vehicle_.statistics().counts().at("Road"), 1);
  EXPECT_EQ(vehicle_.frame_counter(), static_cast<int64_t>(results.size()));
  // The vehicle tracker follows the confirmed boxes.
  ASSERT_EQ(vehicle_.vehicle_tracker()->tracks().size(), 1u);
  EXPECT_GT(vehicle_.vehicle_tracker()->tracks()[0].hits, 30);
}

TEST_F(VehiclePipelineTest, BackwardCrossingsCanBeDropped) {
  Setup(VerticalZone(480, "Road") + R"pb(
    properties { key: "allow_backward_motion" value { boolean_value: false } })pb",
        {YoloPersonModel()});
  auto results = Walk(&vehicle_, &clock_, 800, 160, 16, /*tail=*/6);
  EXPECT_TRUE(EventsOf(results, v1::ZONE_EXIT).empty());
  EXPECT_TRUE(vehicle_.statistics().counts().empty());
  results = Walk(&vehicle_, &clock_, 160, 800, 16, /*tail=*/6);
  const auto exits = EventsOf(results, v1::ZONE_EXIT);
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0].zone_direction(), v1::FORWARD);
}

TEST_F(VehiclePipelineTest, IsVehicleClassifierConfirmsDetections) {
  // The same person crop is kept under one order of the labels and dropped
  // under the other.
  int kept[2] = {0, 0};
  for (int order = 0; order < 2; ++order) {
    VehicleAnalyticsVideoV1 vehicle;
    ASSERT_TRUE(
        vehicle
            .Setup(EyeConfig(
                kShortTracks,
                {YoloPersonModel(),
                 order == 0
                     ? BrightnessClassifier("IS_VEHICLE", "vehicle", "other")
                     : BrightnessClassifier("IS_VEHICLE", "other", "vehicle")}))
            .ok());
    ASSERT_NE(vehicle.is_vehicle(), nullptr);
    for (int i = 0; i < 8; ++i)
      kept[order] += vehicle.Process({}, PersonAt(480)).rect_detection_size();
    EXPECT_GT(vehicle.is_vehicle()->runs(), 0);
  }
  EXPECT_EQ(kept[0] == 0, kept[1] > 0) << kept[0] << " " << kept[1];
}

TEST_F(VehiclePipelineTest, FamilyCarsOnTheQuantitySkipSchedule) {
  Setup(R"pb(properties { key: "quantity_skip_obj" value { array_value {
          values { integer_value: 30 } values { integer_value: 5 }
          values { integer_value: 1 } } } })pb",
        {PersonAsCarModel(),
         BrightnessClassifier("FAMILY_CAR", "family", "utility")});
  ASSERT_NE(vehicle_.family_car(), nullptr);
  VisionRequest family;
  family.add_vehicle_recognition(v1::FAMILY_CAR);
  std::vector<std::string> types;
  // A car standing still for frames 0 to 31: confirmed from frame 4, it is
  // classified at once (no vote), then on every frame while fewer than 3
  // votes make the vote uncertain (band 2, period 1), then, the votes
  // agreeing, on multiples of 30 only (band 0).
  for (int frame = 0; frame < 32; ++frame) {
    const VisionResult result = vehicle_.Process(family, PersonAt(480));
    for (const auto& detection : result.rect_detection())
      types.push_back(detection.type());
  }
  EXPECT_EQ(vehicle_.family_car()->runs(), 3 + 1);
  ASSERT_FALSE(types.empty());
  for (const std::string& type : types) {
    EXPECT_TRUE(type == "family" || type == "utility") << type;
  }
  // Without the request the detector's type stays.
  const VisionResult plain = vehicle_.Process({}, PersonAt(480));
  ASSERT_EQ(plain.rect_detection_size(), 1);
  EXPECT_EQ(plain.rect_detection(0).type(), "car");
  // The vote goes with the track.
  const int32_t id =
      static_cast<int32_t>(plain.rect_detection(0).tracking_id());
  EXPECT_TRUE(vehicle_.family_car()->HasVote(id));
  for (int i = 0; i < 6; ++i) vehicle_.Process(family, PersonAt(-1));
  EXPECT_FALSE(vehicle_.family_car()->HasVote(id));
}

TEST_F(VehiclePipelineTest, FamilyCarRequestWithoutItsModelKeepsTheTypes) {
  Setup("", {PersonAsCarModel()});
  VisionRequest family;
  family.add_vehicle_recognition(v1::FAMILY_CAR);
  int cars = 0;
  for (int i = 0; i < 6; ++i) {
    const VisionResult result = vehicle_.Process(family, PersonAt(480));
    for (const auto& detection : result.rect_detection()) {
      EXPECT_EQ(detection.type(), "car");
      ++cars;
    }
  }
  EXPECT_GT(cars, 0);
}

TEST(VehicleClassifierTest, RegionsAreCutAtTheFrameEdges) {
  IsVehicleDetector classifier;
  const Entity model = BrightnessClassifier("IS_VEHICLE", "vehicle", "other");
  classifier.LoadModel(model);
  classifier.Configure(AsEntity(GetProperty(model, "config")));
  const cv::Mat bright(100, 100, CV_8UC3, cv::Scalar(250, 250, 250));
  // Half outside: the inside part is classified.
  EXPECT_EQ(
      classifier.ClassifyRegion(bright, 1, cv::Rect(-50, -50, 100, 100), false),
      "vehicle");
  EXPECT_EQ(classifier.runs(), 1);
  // Wholly outside: nothing to classify, nothing known.
  EXPECT_EQ(
      classifier.ClassifyRegion(bright, 2, cv::Rect(200, 200, 10, 10), false),
      "");
  // Skipped: the label of the vote, without running.
  EXPECT_EQ(classifier.ClassifyRegion(bright, 1, cv::Rect(0, 0, 10, 10), true),
            "vehicle");
  EXPECT_EQ(classifier.runs(), 1);
}

TEST_F(VehiclePipelineTest, OnlyDetectionClearsTypesAndLoadsNoFamilyCar) {
  Setup(
      R"pb(properties { key: "only_detection" value { boolean_value: true } })pb",
      {PersonAsCarModel(),
       BrightnessClassifier("FAMILY_CAR", "family", "utility"),
       // Not upper case: not one of this pipeline's classifiers.
       BrightnessClassifier("IS_VEHICLE", "vehicle", "other", "Caffe")});
  EXPECT_EQ(vehicle_.family_car(), nullptr);
  EXPECT_EQ(vehicle_.is_vehicle(), nullptr);
  VisionRequest family;
  family.add_vehicle_recognition(v1::FAMILY_CAR);
  int detections = 0;
  for (int i = 0; i < 8; ++i) {
    const VisionResult result = vehicle_.Process(family, PersonAt(480));
    for (const auto& detection : result.rect_detection()) {
      EXPECT_EQ(detection.type(), "");
      ++detections;
    }
  }
  EXPECT_GT(detections, 0);
}

TEST(VehicleSetupTest, RefusedModelMaps) {
  struct Case {
    std::string name;
    std::string erase;  // key erased from the classifier model
    std::string message;
  };
  const Case cases[] = {
      {"no engine", "engine",
       "CHECK failed: it != end(): key not found: engine"},
      {"no type", "type", "CHECK failed: it != end(): key not found: type"},
      {"no config", "config",
       "CHECK failed: it != end(): key not found: config"},
  };
  for (const Case& c : cases) {
    Entity classifier = BrightnessClassifier("IS_VEHICLE", "vehicle", "other");
    classifier.mutable_properties()->erase(c.erase);
    VehicleAnalyticsVideoV1 vehicle;
    try {
      vehicle.Setup(EyeConfig("", {classifier})).IgnoreError();
      ADD_FAILURE() << c.name << " was accepted";
    } catch (const MissingPropertyError& e) {
      EXPECT_EQ(std::string(e.what()), c.message) << c.name;
    }
  }
}

}  // namespace
}  // namespace talvenrook_vision
