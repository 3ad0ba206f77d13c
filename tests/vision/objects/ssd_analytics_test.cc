// SSDAnalyticsVideoV1 with real models: the classes it keeps, the network
// sizes it shares, and a person (cut from a real frame) walking across a
// counting zone in front of the real YOLO-Fastest person model.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testing/test_util.h"
#include "tests/vision/objects/objects_test_util.h"
#include "vision/detectors/ssd_detector_adapter.h"
#include "vision/objects/ssd_analytics_video_v1.h"

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using testing_util::EventsOf;
using testing_util::EyeConfig;
using testing_util::ParseEntity;
using testing_util::PersonAt;
using testing_util::SetString;
using testing_util::SubMap;
using testing_util::VerticalZone;
using testing_util::Walk;
using testing_util::YoloPersonModel;

// A model map whose labels are background, person and car, as an SSD
// model of version 1 (weights are not needed to look labels up).
Entity LabelledSsdModel(const std::string& type = "SSD") {
  Entity model = ParseEntity(R"pb(
    properties { key: "version" value { string_value: "1" } }
    properties { key: "engine" value { string_value: "Caffe" } }
    properties { key: "content" value { entity_value {
      properties { key: "labels" value { array_value {
        values { string_value: "background" } values { string_value: "person" }
        values { string_value: "car" } } } } } } }
    properties { key: "config" value { entity_value {} } })pb");
  SetString(&model, "type", type);
  return model;
}

// The COCO variant of YOLO-Fastest with its 80 labels from coco.names.
Entity YoloCocoModel() {
  Entity model = YoloPersonModel("YOLO", "coco");
  Entity* content = SubMap(&model, "content");
  SetString(content, "prototxt_file",
            testing_util::DataPath("yolo-fastest-1.1.cfg"));
  SetString(content, "caffemodel_file",
            testing_util::DataPath("yolo-fastest-1.1.weights"));
  auto* labels =
      (*content->mutable_properties())["labels"].mutable_array_value();
  labels->clear_values();
  std::istringstream names(testing_util::ReadData("coco.names"));
  for (std::string name; std::getline(names, name);)
    if (!name.empty()) labels->add_values()->set_string_value(name);
  return model;
}

std::string Filter(const std::string& values) {
  return "properties { key: \"indexes_to_filter\" value { array_value { " +
         values + " } } }";
}

TEST(SSDAnalyticsTest, ClassesToKeep) {
  struct Case {
    std::string values;
    std::vector<Entity> models;
    std::set<int32_t> keep;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"values { string_value: \"person\" } values { integer_value: 2 }",
       {LabelledSsdModel()},
       {1, 2},
       "INFO: Indexes to filter: 2\n"},
      {"values { string_value: \"nobody\" }",
       {LabelledSsdModel()},
       {},
       "WARNING: Label \"nobody\" from indexes_to_filter not found\n"},
      // The labels of YOLO models are searched too.
      {"values { string_value: \"car\" } values { string_value: \"truck\" }",
       {YoloCocoModel()},
       {2, 7},
       "INFO: Indexes to filter: 2\n"},
      // Models of other kinds are not searched.
      {"values { string_value: \"person\" }",
       {LabelledSsdModel("FAMILY_CAR")},
       {},
       "WARNING: Label \"person\" from indexes_to_filter not found\n"},
      // An element of another kind reads as class 0, with a warning.
      {"values { double_value: 2.0 }",
       {LabelledSsdModel()},
       {0},
       "WARNING: indexes_to_filter element #1 is neither a label name nor a "
       "class index; it is read as class 0\n"},
  };
  for (const Case& c : cases) {
    kestu_testing::StderrCapture capture;
    SSDAnalyticsVideoV1 pipeline;
    // The labelled models have no weights: their set-up fails, and the
    // classes to keep are read all the same.
    (void)pipeline.Setup(EyeConfig(Filter(c.values), c.models));
    EXPECT_EQ(pipeline.class_keep_set(), c.keep) << c.values;
    EXPECT_TRUE(capture.Contains(c.message)) << c.values << capture.str();
  }
}

TEST(SSDAnalyticsTest, LabelLookupNeedsTheModelType) {
  Entity untyped = LabelledSsdModel();
  untyped.mutable_properties()->erase("type");
  SSDAnalyticsVideoV1 pipeline;
  try {
    pipeline
        .Setup(
            EyeConfig(Filter("values { string_value: \"person\" }"), {untyped}))
        .IgnoreError();
    FAIL() << "a model without type was searched";
  } catch (const MissingPropertyError& e) {
    EXPECT_STREQ(e.what(), "CHECK failed: it != end(): key not found: type");
  }
}

TEST(SSDAnalyticsTest, SsdRegionsShareOneNetworkBudget) {
  const Entity ssd = testing_util::FaceSSDModel(
      "SSD", "1",
      R"pb(properties { key: "input_size" value { size_value { width: 300 height: 300 } } })pb");
  const std::string rois = R"pb(properties { key: "rois" value { array_value {
    values { entity_value {
      properties { key: "x" value { integer_value: 0 } }
      properties { key: "y" value { integer_value: 0 } }
      properties { key: "width" value { integer_value: 640 } }
      properties { key: "height" value { integer_value: 360 } } } }
    values { entity_value {
      properties { key: "x" value { integer_value: 640 } }
      properties { key: "y" value { integer_value: 0 } }
      properties { key: "width" value { integer_value: 320 } }
      properties { key: "height" value { integer_value: 360 } } } } } } })pb";
  SSDAnalyticsVideoV1 pipeline;
  ASSERT_TRUE(pipeline.Setup(EyeConfig(rois, {ssd})).ok());
  const auto& regions = pipeline.regions().rois();
  ASSERT_EQ(regions.size(), 2u);
  // s = sqrt(300 x 300 / (640 x 360 + 320 x 360)) = 0.5103.
  EXPECT_EQ(regions[0]->day_adapter()->NetworkSize(), cv::Size(326, 183));
  EXPECT_EQ(regions[1]->day_adapter()->NetworkSize(), cv::Size(163, 183));

  // An adapter without an input size of its own keeps its budget (it is
  // not given a network of 0 x 0).
  SSDAnalyticsVideoV1 unsized;
  ASSERT_TRUE(
      unsized.Setup(EyeConfig(rois, {testing_util::FaceSSDModel()})).ok());
  for (const auto& roi : unsized.regions().rois()) {
    const auto* adapter = static_cast<SSDDetectorAdapter*>(roi->day_adapter());
    EXPECT_EQ(adapter->NetworkSize(), cv::Size(0, 0));
    EXPECT_EQ(adapter->detector()->InputSize(), cv::Size(300, 300));
  }

  // YOLO adapters keep their own budget.
  SSDAnalyticsVideoV1 yolo;
  ASSERT_TRUE(yolo.Setup(EyeConfig(rois, {YoloPersonModel()})).ok());
  EXPECT_EQ(yolo.regions().rois()[0]->day_adapter()->NetworkSize(),
            cv::Size(0, 0));
}

TEST(SSDAnalyticsTest, RegionsWithoutModelTakeTheYoloModel) {
  kestu_testing::StderrCapture capture;
  SSDAnalyticsVideoV1 pipeline;
  ASSERT_TRUE(
      pipeline.Setup(EyeConfig("", {YoloPersonModel("YOLO", "1.1")})).ok());
  const auto& regions = pipeline.regions().rois();
  ASSERT_EQ(regions.size(), 1u);
  ASSERT_NE(regions[0]->day_adapter(), nullptr);
  EXPECT_EQ(regions[0]->day_adapter()->TypeVersion().first, "YOLO");
  EXPECT_TRUE(capture.Contains("Defaulting model to: YOLO:1.1\n"));
}

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override { pipeline_.SetClock(&clock_); }

  void Configure(const std::string& config_text) {
    ASSERT_TRUE(pipeline_
                    .Setup(EyeConfig(config_text + R"pb(
          properties { key: "tracker_frames_to_discard" value { integer_value: 4 } })pb",
                                     {YoloPersonModel()}))
                    .ok());
  }

  ManualTrackingClock clock_{1, 1000.0, 1700000000};
  SSDAnalyticsVideoV1 pipeline_;
};

TEST_F(WalkTest, CrossingsGiveOneEventWithDirectionAndSpeed) {
  Configure(VerticalZone(480, "Door"));
  // Left to right: 16 pixels every 100 ms, 160 pixels per second, 1.6 m/s
  // at 1 cm per pixel.
  auto results = Walk(&pipeline_, &clock_, 160, 800, 16, /*tail=*/6);
  auto exits = EventsOf(results, v1::ZONE_EXIT);
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0].zone_direction(), v1::FORWARD);
  EXPECT_EQ(exits[0].zone_name(), "Door");
  EXPECT_EQ(exits[0].zone_id(), 0u);
  EXPECT_NEAR(exits[0].speed(), 1.6, 0.25);
  EXPECT_EQ(exits[0].timestamp().seconds(), 1700000000);
  EXPECT_GT(exits[0].session_time(), 1.0f);
  // Every frame with the confirmed track carries its detection.
  int tracked = 0;
  for (const VisionResult& result : results) {
    for (const auto& detection : result.rect_detection()) {
      EXPECT_EQ(detection.tracking_id(), exits[0].tracking_id());
      EXPECT_EQ(detection.type(), "person");
      EXPECT_GT(detection.confidence(), 0.3f);
      ++tracked;
    }
  }
  EXPECT_GE(tracked, 30);
  // Once the track has gone, nothing of it is kept.
  EXPECT_EQ(pipeline_.zone_events().TrackStateCount(), 0u);
  EXPECT_EQ(pipeline_.class_vote().TrackCount(), 0u);
  EXPECT_TRUE(pipeline_.trackers()[0]->tracks().empty());

  // Right to left is the other direction.
  results = Walk(&pipeline_, &clock_, 800, 160, 16, /*tail=*/6);
  exits = EventsOf(results, v1::ZONE_EXIT);
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0].zone_direction(), v1::BACKWARD);
}

TEST_F(WalkTest, WithoutZonesEndedTracksLeaveTheRegion) {
  Configure(VerticalZone(480, "Door") + R"pb(
    properties { key: "use_zones" value { boolean_value: false } })pb");
  auto results = Walk(&pipeline_, &clock_, 300, 460, 16, /*tail=*/6);
  EXPECT_FALSE(pipeline_.speed_on());
  auto exits = EventsOf(results, v1::ZONE_EXIT);
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0].zone_name(), "ROI #0");
  EXPECT_EQ(exits[0].zone_direction(), v1::FORWARD);
  EXPECT_EQ(exits[0].zone_id(), 0u);
  // The ended track's detection comes with its event, in the frame in
  // which it ended (no person was in that frame).
  const VisionResult* ended = nullptr;
  for (const VisionResult& result : results)
    if (result.vision_event_size() > 0) ended = &result;
  ASSERT_EQ(ended->rect_detection_size(), 1);
  EXPECT_EQ(ended->rect_detection(0).tracking_id(), exits[0].tracking_id());
  EXPECT_EQ(ended->rect_detection(0).type(), "person");
}

TEST_F(WalkTest, WithoutTrackerRawBoxesAreReportedAndDrawnInBlue) {
  Configure(
      R"pb(properties { key: "enable_tracker" value { boolean_value: false } })pb");
  const VisionResult result = pipeline_.Process({}, PersonAt(480));
  ASSERT_EQ(result.rect_detection_size(), 1);
  EXPECT_EQ(result.rect_detection(0).tracking_id(), 0u);
  EXPECT_EQ(result.rect_detection(0).type(), "person");
  EXPECT_EQ(result.vision_event_size(), 0);
  cv::Mat canvas(testing_util::kCanvasHeight, testing_util::kCanvasWidth,
                 CV_8UC3, cv::Scalar(255, 255, 255));
  pipeline_.Draw(canvas);
  const auto& box = result.rect_detection(0).location();
  EXPECT_EQ(canvas.at<cv::Vec3b>(static_cast<int>(box.y() + box.height() / 2),
                                 static_cast<int>(box.x())),
            cv::Vec3b(255, 0, 0));
}

TEST_F(WalkTest, AsynchronousPathDrawsOnlyTheLastFramesBoxes) {
  Configure(
      R"pb(properties { key: "enable_tracker" value { boolean_value: false } })pb");
  auto ahead = [this](const cv::Mat& frame) {
    return pipeline_.Finish(pipeline_.Begin(frame, /*ahead=*/true), {},
                            cv::Mat());
  };
  EXPECT_EQ(ahead(PersonAt(480)).rect_detection_size(), 1);
  EXPECT_EQ(ahead(PersonAt(-1)).rect_detection_size(), 0);
  // The person's box of the first frame is not drawn over the second.
  cv::Mat canvas(testing_util::kCanvasHeight, testing_util::kCanvasWidth,
                 CV_8UC3, cv::Scalar(255, 255, 255));
  pipeline_.Draw(canvas);
  cv::Mat blue;
  cv::inRange(canvas, cv::Scalar(255, 0, 0), cv::Scalar(255, 0, 0), blue);
  EXPECT_EQ(cv::countNonZero(blue), 0);
}

TEST_F(WalkTest, DistancesOfTrackedPeople) {
  Configure(R"pb(properties { key: "distance_estimation" value { entity_value {
    properties { key: "f_over_s" value { integer_value: 900 } } } } })pb");
  ASSERT_TRUE(pipeline_.has_distance_estimator());
  auto results = Walk(&pipeline_, &clock_, 300, 380, 16);
  const VisionResult& last = results.back();
  ASSERT_EQ(last.rect_detection_size(), 1);
  const auto& detection = last.rect_detection(0);
  EXPECT_NEAR(detection.distance(), 900 * 0.45 / detection.location().width(),
              1e-3);
}

}  // namespace
}  // namespace talvenrook_vision
