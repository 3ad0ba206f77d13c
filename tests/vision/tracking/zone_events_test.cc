#include "vision/tracking/zone_events.h"

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "vision/tracking/zone_config.h"

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;

Entity Parse(const std::string& text) {
  Entity entity;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &entity))
      << text;
  return entity;
}

// One zone map from (0, 100) to (200, 100), `height` high, plus `extra`.
std::string ZoneMap(const std::string& extra, int height = 20) {
  return R"(values { entity_value {
    properties { key: "A" value { entity_value {
      properties { key: "x" value { integer_value: 0 } }
      properties { key: "y" value { integer_value: 100 } } } } }
    properties { key: "B" value { entity_value {
      properties { key: "x" value { integer_value: 200 } }
      properties { key: "y" value { integer_value: 100 } } } } }
    properties { key: "height" value { integer_value: )" +
         std::to_string(height) + " } } " + extra + "} }";
}

std::string Zones(const std::vector<std::string>& maps) {
  std::string text = R"(properties { key: "zones" value { array_value { )";
  for (const std::string& map : maps) text += map;
  return text + "} } }";
}

class StderrCapture {
 public:
  StderrCapture() : saved_(std::cerr.rdbuf(captured_.rdbuf())) {}
  ~StderrCapture() { std::cerr.rdbuf(saved_); }
  std::string Text() const { return captured_.str(); }

 private:
  std::ostringstream captured_;
  std::streambuf* saved_;
};

struct ZoneReadResult {
  std::vector<Zone> zones;
  std::vector<std::unique_ptr<SpeedEstimator>> estimators;
  std::string messages;
};

ZoneReadResult ReadZonesFrom(const std::string& text) {
  ZoneReadResult result;
  StderrCapture capture;
  ReadZones(Parse(text), 1000.0, &result.zones, &result.estimators);
  result.messages = capture.Text();
  return result;
}

TEST(ZoneConfigTest, TopLevelZonesShareNumberOne) {
  const ZoneReadResult r = ReadZonesFrom(Zones({ZoneMap(""), ZoneMap("")}));
  EXPECT_EQ(r.messages, "INFO: Configuring 2 zones.\n");
  ASSERT_EQ(r.zones.size(), 2u);
  EXPECT_EQ(r.zones[0].name(), "Zone #1");
  EXPECT_EQ(r.zones[1].name(), "Zone #1");
  EXPECT_EQ(r.zones[1].corner0(), cv::Point(0, 110));
  ASSERT_EQ(r.estimators.size(), 2u);
  EXPECT_EQ(r.estimators[0], nullptr);
}

TEST(ZoneConfigTest, ZonesUnderRoisTakeTheRoiNumber) {
  const std::string text =
      R"(properties { key: "rois" value { array_value {
           values { entity_value { } }
           values { entity_value { properties { key: "zones" value {
             array_value { )" +
      ZoneMap(R"(properties { key: "name" value { integer_value: 3 } })") +
      ZoneMap("") + "} } } } } } } }";
  const ZoneReadResult r = ReadZonesFrom(text);
  EXPECT_EQ(r.messages, "INFO: Configuring 2 zones.\n");
  ASSERT_EQ(r.zones.size(), 2u);
  EXPECT_EQ(r.zones[0].name(), "");  // a name of another kind
  EXPECT_EQ(r.zones[1].name(), "Zone #2");
}

TEST(ZoneConfigTest, MissingKeysStopTheList) {
  const std::string broken = R"(values { entity_value {
      properties { key: "A" value { entity_value { } } } } })";
  const ZoneReadResult r =
      ReadZonesFrom(Zones({ZoneMap(""), broken, ZoneMap("")}));
  EXPECT_EQ(r.messages,
            "INFO: Configuring 3 zones.\n"
            "ERROR: Property B was not found\n"
            "ERROR: Property height was not found\n"
            "ERROR: Zone definition error\n");
  EXPECT_EQ(r.zones.size(), 1u);
  EXPECT_EQ(r.estimators.size(), 1u);
}

struct ScaleCase {
  std::string name;
  std::string keys;  // zone map keys besides A, B and height
  int height;
  float ratio;  // 0: no estimator
  std::string message;
};

class ZoneScaleTest : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(ZoneScaleTest, OneEstimatorSlotPerZone) {
  const ScaleCase& c = GetParam();
  const ZoneReadResult r = ReadZonesFrom(Zones(
      {ZoneMap(c.keys, c.height),
       ZoneMap(
           R"(properties { key: "meter_pixel_ratio" value { double_value: 0.5 } })")}));
  EXPECT_EQ(r.messages, "INFO: Configuring 2 zones.\n" + c.message);
  ASSERT_EQ(r.estimators.size(), 2u);
  if (c.ratio == 0.0f) {
    EXPECT_EQ(r.estimators[0], nullptr);
  } else {
    ASSERT_NE(r.estimators[0], nullptr);
    EXPECT_FLOAT_EQ(r.estimators[0]->ratio(), c.ratio);
  }
  ASSERT_NE(r.estimators[1], nullptr);  // the next zone keeps its own slot
  EXPECT_FLOAT_EQ(r.estimators[1]->ratio(), 0.5f);
}

INSTANTIATE_TEST_SUITE_P(
    Scales, ZoneScaleTest,
    ::testing::Values(
        ScaleCase{"NoScale", "", 20, 0.0f, ""},
        ScaleCase{
            "MeterPixelRatio",
            R"(properties { key: "meter_pixel_ratio" value { double_value: 0.02 } }
                     properties { key: "real_height" value { double_value: 9 } })",
            20, 0.02f, ""},
        ScaleCase{
            "RealHeight",
            R"(properties { key: "real_height" value { integer_value: 4 } })",
            20, 0.2f, ""},
        ScaleCase{
            "RealHeightWithZeroHeight",
            R"(properties { key: "real_height" value { double_value: 4 } })", 0,
            0.0f, "Zone height has to be a positive number\n"}),
    [](const auto& info) { return info.param.name; });

TEST(ZoneConfigTest, AreasAndTheirMessages) {
  std::vector<Area> areas;
  {
    StderrCapture capture;
    ReadAreas(Entity(), &areas);
    EXPECT_EQ(capture.Text(), "INFO: No area found.\n");
  }
  StderrCapture capture;
  ReadAreas(Parse(R"(properties { key: "areas" value { array_value {
      values { array_value {
        values { entity_value { properties { key: "x" value { integer_value: 5 } }
                                properties { key: "y" value { integer_value: 6 } } } }
        values { entity_value { properties { key: "x" value { double_value: 7 } }
                                properties { key: "y" value { integer_value: 8 } } } } } }
      values { string_value: "not a list" } } } })"),
            &areas);
  EXPECT_EQ(capture.Text(), "INFO: Configuring 2 areas.\n");
  ASSERT_EQ(areas.size(), 2u);
  EXPECT_EQ(areas[0].polygon(), (std::vector<cv::Point>{{5, 6}, {0, 8}}));
  EXPECT_TRUE(areas[1].polygon().empty());
}

TEST(ZoneConfigTest, RectangleReportsEveryMissingKey) {
  cv::Rect rect(1, 2, 3, 4);
  StderrCapture capture;
  EXPECT_FALSE(
      ReadRectangle(Parse(R"(properties { key: "x" value { integer_value: 5 } }
               properties { key: "width" value { integer_value: 50 } })"),
                    &rect));
  EXPECT_EQ(capture.Text(),
            "ERROR: Property y was not found\n"
            "ERROR: Property height was not found\n"
            "ERROR: ROI definition error\n");
  EXPECT_EQ(rect, cv::Rect());
  EXPECT_TRUE(
      ReadRectangle(Parse(R"(properties { key: "x" value { integer_value: 5 } }
               properties { key: "y" value { integer_value: 6 } }
               properties { key: "width" value { integer_value: 50 } }
               properties { key: "height" value { integer_value: 60 } })"),
                    &rect));
  EXPECT_EQ(rect, cv::Rect(5, 6, 50, 60));
}

class ZoneEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StderrCapture quiet;
    events_.Configure(Parse(
        Zones({ZoneMap(
                   R"(properties { key: "name" value { string_value: "gate" } }
                          properties { key: "meter_pixel_ratio" value { double_value: 0.1 } }
                          properties { key: "forward_name" value { string_value: "in" } }
                          properties { key: "backward_name" value { string_value: "out" } })"),
               ZoneMap("")}) +
        R"(properties { key: "areas" value { array_value { values { array_value {
             values { entity_value { properties { key: "x" value { integer_value: 50 } }
                                     properties { key: "y" value { integer_value: 20 } } } }
             values { entity_value { properties { key: "x" value { integer_value: 150 } }
                                     properties { key: "y" value { integer_value: 20 } } } }
             values { entity_value { properties { key: "x" value { integer_value: 150 } }
                                     properties { key: "y" value { integer_value: 80 } } } }
             values { entity_value { properties { key: "x" value { integer_value: 50 } }
                                     properties { key: "y" value { integer_value: 80 } } } }
           } } } } })"));
    events_.set_measure_speed(true);
    track_.id = 42;
    track_.tracked_seconds = 2.5f;
  }
  // Moves the track's centre and emits at `ticks` (1000 per second).
  v1::VisionResult Step(cv::Point center, int64_t ticks) {
    track_.center = center;
    v1::VisionResult result;
    events_.Emit(track_, ticks, &result);
    return result;
  }

  ManualTrackingClock clock_{1, 1000.0, 1700000000};
  ZoneEvents events_{&clock_};
  Track track_;
};

TEST_F(ZoneEventsTest, ZoneCrossingCarriesEveryField) {
  EXPECT_EQ(Step({100, 130}, 1000).vision_event_size(), 0);
  const v1::VisionResult result = Step({100, 70}, 1500);
  // Both zones share the geometry; the area is entered at (100, 70).
  ASSERT_EQ(result.vision_event_size(), 3);
  const v1::VisionEvent& gate = result.vision_event(0);
  EXPECT_EQ(gate.tag(), v1::ZONE_EXIT);
  EXPECT_EQ(gate.tracking_id(), 42u);
  EXPECT_FLOAT_EQ(gate.session_time(), 2.5f);
  EXPECT_EQ(gate.zone_id(), 0u);
  EXPECT_EQ(gate.zone_name(), "gate");
  EXPECT_EQ(gate.zone_direction(), v1::FORWARD);
  EXPECT_EQ(gate.zone_direction_name(), "in");
  EXPECT_FLOAT_EQ(gate.speed(), 12.0f);  // 60 px in 0.5 s at 0.1 m/px
  EXPECT_EQ(gate.timestamp().seconds(), 1700000000);
  EXPECT_EQ(gate.timestamp().nanos(), 0);
  const v1::VisionEvent& second = result.vision_event(1);
  EXPECT_EQ(second.zone_id(), 1u);
  EXPECT_EQ(second.zone_name(), "Zone #1");
  EXPECT_EQ(second.speed(), 0.0f);                    // no scale for this zone
  EXPECT_TRUE(second.zone_direction_name().empty());  // directions unnamed
  const v1::VisionEvent& area = result.vision_event(2);
  EXPECT_EQ(area.tag(), v1::AREA_ENTER);
  EXPECT_EQ(area.area_id(), 0u);
  EXPECT_TRUE(area.area_name().empty());
}

TEST_F(ZoneEventsTest, BackwardCrossingCarriesTheBackwardName) {
  track_.id = 7;
  EXPECT_EQ(Step({100, 70}, 1000).vision_event_size(), 1);  // area entered
  const v1::VisionResult result = Step({100, 130}, 1500);
  ASSERT_GE(result.vision_event_size(), 2);
  EXPECT_EQ(result.vision_event(0).zone_direction(), v1::BACKWARD);
  EXPECT_EQ(result.vision_event(0).zone_direction_name(), "out");
  EXPECT_TRUE(result.vision_event(1).zone_direction_name().empty());
}

TEST_F(ZoneEventsTest, AreaExitAndForget) {
  Step({100, 50}, 0);
  const v1::VisionResult exit = Step({150, 50}, 100);  // on the edge
  ASSERT_EQ(exit.vision_event_size(), 1);
  EXPECT_EQ(exit.vision_event(0).tag(), v1::AREA_EXIT);
  EXPECT_EQ(Step({100, 50}, 200).vision_event_size(), 0);
  events_.Forget(42);
  EXPECT_EQ(Step({100, 50}, 300).vision_event_size(), 1);
}

TEST_F(ZoneEventsTest, RoiExitEventForEndedTrack) {
  v1::VisionResult result;
  events_.EmitRoiExit(track_, 3, &result);
  ASSERT_EQ(result.vision_event_size(), 1);
  const v1::VisionEvent& event = result.vision_event(0);
  EXPECT_EQ(event.tag(), v1::ZONE_EXIT);
  EXPECT_EQ(event.tracking_id(), 42u);
  EXPECT_FLOAT_EQ(event.session_time(), 2.5f);
  EXPECT_EQ(event.zone_direction(), v1::FORWARD);
  EXPECT_EQ(event.zone_name(), "ROI #3");
  EXPECT_EQ(event.zone_id(), 3u);
  EXPECT_EQ(event.timestamp().seconds(), 1700000000);
}

}  // namespace
}  // namespace talvenrook_vision
