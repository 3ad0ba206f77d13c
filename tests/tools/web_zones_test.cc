// The zone editor's layout against the pipelines' "zones" and "areas"
// keys, and the bound of the track history.
#include <chrono>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "tools/recount/recounter.h"
#include "tools/web/track_history.h"
#include "tools/web/zone_layout.h"
#include "vision/tracking/tracking_clock.h"
#include "vision/tracking/zone_events.h"

namespace kestu_tools {
namespace {

using ::talvenrook::common::Entity;

template <typename Message>
Message Parse(const std::string& text) {
  Message message;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &message))
      << text;
  return message;
}
Entity Parse(const std::string& text) { return Parse<Entity>(text); }
kestu::tools::ZoneLayout Layout(const std::string& text) {
  return Parse<kestu::tools::ZoneLayout>(text);
}

// The crowd sample's map, its zone given a key the editor does not know.
Entity Walkway() {
  Entity config;
  std::string error;
  EXPECT_TRUE(LoadZonesFragment(
      KESTU_SOURCE_DIR "/samples/crowd_walkway.textproto", &config, &error))
      << error;
  auto* zone = (*config.mutable_properties())["zones"]
                   .mutable_array_value()
                   ->mutable_values(0)
                   ->mutable_entity_value();
  (*zone->mutable_properties())["a_later_key"].set_boolean_value(true);
  (*zone->mutable_properties())["repeat"].set_boolean_value(true);
  return config;
}

TEST(ZoneLayoutTest, LinesComeBackWithTheKeysTheEditorDoesNotShow) {
  Entity config = Walkway();
  kestu::tools::ZoneLayout layout = LayoutFromConfig(config);
  ASSERT_EQ(layout.lines_size(), 1);
  EXPECT_EQ(layout.lines(0).name(), "Walkway");
  EXPECT_EQ(layout.lines(0).source(), 1);
  EXPECT_DOUBLE_EQ(layout.lines(0).meter_pixel_ratio(), 0.025);
  EXPECT_TRUE(layout.lines(0).repeat());
  // Moved and renamed, with a new line beside it and an area.
  layout.mutable_lines(0)->set_name("Door");
  layout.mutable_lines(0)->mutable_b()->set_y(400);
  *layout.add_lines() =
      Layout(R"pb(lines { a { x: 10 y: 10 } b { x: 90 y: 10 } height: 8 })pb")
          .lines(0);
  *layout.add_areas() =
      Layout(R"pb(areas { points { x: 0 y: 0 } points { x: 50 y: 0 }
                                           points { x: 50 y: 50 } })pb")
          .areas(0);
  std::string error;
  ASSERT_TRUE(ValidLayout(layout, config, &error)) << error;
  ApplyLayout(layout, &config);
  EXPECT_TRUE(config.properties().count("tracker_frames_to_discard"));
  const auto& zones = config.properties().at("zones").array_value();
  ASSERT_EQ(zones.values_size(), 2);
  const auto& door = zones.values(0).entity_value().properties();
  EXPECT_EQ(door.at("name").string_value(), "Door");
  EXPECT_EQ(door.at("B").entity_value().properties().at("y").integer_value(),
            400);
  EXPECT_TRUE(door.at("a_later_key").boolean_value());
  EXPECT_DOUBLE_EQ(door.at("meter_pixel_ratio").double_value(), 0.025);
  EXPECT_TRUE(door.at("repeat").boolean_value());
  // The new line has neither a name (the reader's default applies) nor a
  // scale.
  EXPECT_EQ(zones.values(1).entity_value().properties().count("name"), 0u);
  EXPECT_EQ(
      zones.values(1).entity_value().properties().count("meter_pixel_ratio"),
      0u);
  // What the pipelines' reader makes of it.
  talvenrook_vision::ManualTrackingClock clock;
  talvenrook_vision::ZoneEvents events(&clock);
  ASSERT_TRUE(events.Configure(config));
  ASSERT_EQ(events.zones().size(), 2u);
  EXPECT_EQ(events.zones()[0].name(), "Door");
  EXPECT_EQ(events.zones()[1].name(), "Zone #1");
  EXPECT_TRUE(events.zones()[0].repeat());
  EXPECT_FALSE(events.zones()[1].repeat());
  EXPECT_EQ(events.areas().size(), 1u);
  // Everything deleted: nothing of the old zones is left.
  ApplyLayout(kestu::tools::ZoneLayout(), &config);
  EXPECT_EQ(config.properties().at("zones").array_value().values_size(), 0);
  EXPECT_EQ(config.properties().at("areas").array_value().values_size(), 0);
}

TEST(ZoneLayoutTest, ZonesOfRegionsOfInterestAreReadWithTheirNumbers) {
  const Entity config = Parse(R"pb(
    properties { key: "rois" value { array_value {
      values { entity_value { properties { key: "x" value { integer_value: 0 } } } }
      values { entity_value { properties { key: "zones" value { array_value {
        values { entity_value {
          properties { key: "A" value { entity_value {
            properties { key: "x" value { integer_value: 1 } }
            properties { key: "y" value { integer_value: 2 } } } } }
          properties { key: "B" value { entity_value {
            properties { key: "x" value { integer_value: 3 } }
            properties { key: "y" value { integer_value: 4 } } } } }
          properties { key: "height" value { integer_value: 5 } } } } } } } } } } } })pb");
  const kestu::tools::ZoneLayout layout = LayoutFromConfig(config);
  ASSERT_EQ(layout.lines_size(), 1);
  EXPECT_EQ(layout.lines(0).name(), "Zone #2");
  Entity applied = config;
  ApplyLayout(layout, &applied);
  // Written under "zones", which the reader takes before "rois".
  ASSERT_EQ(applied.properties().at("zones").array_value().values_size(), 1);
  EXPECT_EQ(applied.properties().at("rois").DebugString(),
            config.properties().at("rois").DebugString());
}

struct InvalidCase {
  const char* layout;
  const char* reason;
};

TEST(ZoneLayoutTest, LayoutsThatCannotBeAppliedSayWhy) {
  const Entity config = Walkway();
  const std::vector<InvalidCase> cases = {
      {"lines { name: 'Dot' a { x: 5 y: 5 } b { x: 5 y: 5 } height: 4 }",
       "line 1 (Dot) has both ends at the same point"},
      {"lines { a { x: 5 y: 5 } b { x: 9 y: 5 } height: 0 }",
       "needs a band height"},
      {"lines { a { x: -1 y: 5 } b { x: 9 y: 5 } height: 3 }",
       "outside the frame"},
      {"lines { a { x: 1 y: 5 } b { x: 9 y: 5 } height: 3 source: 2 }",
       "a zone the configuration does not have"},
      {"lines { a { x: 1 y: 5 } b { x: 9 y: 5 } height: 3 meter_pixel_ratio: "
       "-1 }",
       "negative scale"},
      {"areas { points { x: 0 y: 0 } points { x: 9 y: 9 } }",
       "at least three points"},
      {"areas { points { x: 0 y: 0 } points { x: 9 y: 9 } points { x: 40000 y: "
       "1 } }",
       "area 1 has a point outside the frame"},
  };
  for (const InvalidCase& c : cases) {
    SCOPED_TRACE(c.layout);
    std::string error;
    EXPECT_FALSE(ValidLayout(Layout(c.layout), config, &error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

talvenrook::vision::v1::VisionResult Frame(int boxes, int first_id) {
  talvenrook::vision::v1::VisionResult result;
  for (int i = 0; i < boxes; ++i) {
    auto* detection = result.add_rect_detection();
    detection->set_tracking_id(first_id + i);
    detection->mutable_location()->set_x(10.0f * i);
    detection->mutable_location()->set_width(20.0f);
  }
  return result;
}

TEST(TrackHistoryTest, KeepsWholeFramesWithinItsWindowAndItsBoxes) {
  TrackHistory history(std::chrono::minutes(1), /*max_boxes=*/100);
  const auto start = TrackHistory::Clock::now();
  for (int i = 0; i < 10; ++i) {
    history.Add("p", "crowd", Frame(30, i * 100),
                start + std::chrono::seconds(i));
  }
  // Only the newest three frames of 30 boxes fit in 100.
  EXPECT_EQ(history.BoxCount("p", "crowd"), 90u);
  TrackFrames frames =
      history.Copy("p", "crowd", start + std::chrono::seconds(10));
  ASSERT_EQ(frames.counts.size(), 3u);
  EXPECT_EQ(frames.boxes.front().id, 700);
  EXPECT_EQ(frames.boxes.back().id, 929);
  // A minute later the first of them has left the window.
  frames = history.Copy(
      "p", "crowd",
      start + std::chrono::seconds(67) + std::chrono::milliseconds(500));
  ASSERT_EQ(frames.counts.size(), 2u);
  EXPECT_EQ(frames.boxes.front().id, 800);
  // A crowd beyond a frame's limit keeps the frame's first boxes.
  TrackHistory big(std::chrono::minutes(1));
  big.Add("p", "crowd", Frame(600, 0));
  EXPECT_EQ(big.BoxCount("p", "crowd"), TrackHistory::kMaxBoxesPerFrame);
  EXPECT_EQ(big.BoxCount("p", "face"), 0u);
}

}  // namespace
}  // namespace kestu_tools
