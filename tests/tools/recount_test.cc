// kestu-recount: the recounter on tracks whose crossings are known, and the
// command on files it must refuse.
#include <fstream>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include "tests/tools/tool_command_test.h"
#include "tools/recount/recounter.h"

namespace kestu_tools {
namespace {

constexpr char kRecount[] = KESTU_BINARY_DIR "/tools/kestu-recount";

// A counting line from (0, y) to (640, y), 20 pixels high, and a square
// area from (400, 0) to (600, 480).
std::string ZonesText(int y) {
  return R"pb(
    properties { key: "zones" value { array_value { values { entity_value {
      properties { key: "A" value { entity_value {
        properties { key: "x" value { integer_value: 0 } }
        properties { key: "y" value { integer_value: )pb" +
         std::to_string(y) + R"pb( } } } } }
      properties { key: "B" value { entity_value {
        properties { key: "x" value { integer_value: 640 } }
        properties { key: "y" value { integer_value: )pb" +
         std::to_string(y) + R"pb( } } } } }
      properties { key: "height" value { integer_value: 20 } }
      properties { key: "name" value { string_value: "walkway" } } } } } } }
    properties { key: "areas" value { array_value { values { array_value {
      values { entity_value { properties { key: "x" value { integer_value: 400 } }
                              properties { key: "y" value { integer_value: 1 } } } }
      values { entity_value { properties { key: "x" value { integer_value: 600 } }
                              properties { key: "y" value { integer_value: 1 } } } }
      values { entity_value { properties { key: "x" value { integer_value: 600 } }
                              properties { key: "y" value { integer_value: 479 } } } }
      values { entity_value { properties { key: "x" value { integer_value: 400 } }
                              properties { key: "y" value { integer_value: 479 } } } }
    } } } } })pb";
}

Entity Parse(const std::string& text) {
  Entity entity;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &entity));
  return entity;
}

// Frames of tracks moving vertically: track i at x = xs[i], from y0 to y1
// in 10 frames.
struct Walk {
  int id;
  int x;
  int y0;
  int y1;
};

VisionResultList Recording(const std::vector<Walk>& walks) {
  VisionResultList list;
  for (int frame = 0; frame <= 10; ++frame) {
    auto* result = list.add_vision_results();
    for (const Walk& walk : walks) {
      auto* detection = result->add_rect_detection();
      detection->set_tracking_id(walk.id);
      auto* box = detection->mutable_location();
      box->set_x(walk.x - 10);
      box->set_y(walk.y0 + (walk.y1 - walk.y0) * frame / 10 - 20);
      box->set_width(20);
      box->set_height(40);
    }
  }
  return list;
}

struct RecountCase {
  const char* name;
  int line_y;
  std::vector<Walk> walks;
  int64_t forward;
  int64_t backward;
  int64_t area_enters;
  int64_t area_exits;
};

class RecounterTest : public ::testing::TestWithParam<RecountCase> {};

TEST_P(RecounterTest, CountsWhatTheTracksDo) {
  const RecountCase& c = GetParam();
  Recounter recounter(15);
  ASSERT_TRUE(recounter.Configure(Parse(ZonesText(c.line_y))));
  const VisionResultList recording = Recording(c.walks);
  for (const auto& frame : recording.vision_results())
    recounter.AddFrame(frame);
  const auto& report = recounter.report();
  EXPECT_EQ(report.frames(), 11);
  ASSERT_EQ(report.zones_size(), 1);
  EXPECT_EQ(report.zones(0).zone_name(), "walkway");
  EXPECT_EQ(report.zones(0).forward(), c.forward);
  EXPECT_EQ(report.zones(0).backward(), c.backward);
  ASSERT_EQ(report.areas_size(), 1);
  EXPECT_EQ(report.areas(0).enters(), c.area_enters);
  EXPECT_EQ(report.areas(0).exits(), c.area_exits);
}

// For a line drawn left to right, forward is upwards (from the band's lower
// side across its upper side).
INSTANTIATE_TEST_SUITE_P(
    Walks, RecounterTest,
    ::testing::Values(
        RecountCase{"Upwards", 240, {{1, 100, 400, 100}}, 1, 0, 0, 0},
        RecountCase{"Downwards", 240, {{1, 100, 100, 400}}, 0, 1, 0, 0},
        RecountCase{"TwoTracksEachWay",
                    240,
                    {{1, 100, 400, 100}, {2, 200, 100, 400}},
                    1,
                    1,
                    0,
                    0},
        RecountCase{
            "LineOutOfTheWalkway", 460, {{1, 100, 400, 100}}, 0, 0, 0, 0},
        RecountCase{"InsideTheArea", 240, {{7, 500, 400, 100}}, 1, 0, 1, 0}),
    [](const ::testing::TestParamInfo<RecountCase>& info) {
      return info.param.name;
    });

class RecountCommandTest : public ToolCommandTest {
 protected:
  RecountCommandTest() : ToolCommandTest(kRecount, "kestu-recount-") {}
};

TEST_F(RecountCommandTest, PrintsTheCountsAsATableOrJson) {
  const std::string detections =
      Write("ok.pb", Recording({{1, 100, 400, 100}}).SerializeAsString());
  const std::string zones = Write("ok.textproto", ZonesText(240));
  ASSERT_EQ(Run({"--detections=" + detections, "--zones=" + zones}), 0) << err_;
  EXPECT_NE(out_.find("11 frames, 1 tracks"), std::string::npos) << out_;
  EXPECT_NE(out_.find("walkway"), std::string::npos) << out_;
  ASSERT_EQ(Run({"--detections=" + detections, "--zones=" + zones, "--json"}),
            0);
  kestu::tools::RecountReport report;
  ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(out_, &report).ok())
      << out_;
  ASSERT_EQ(report.zones_size(), 1);
  EXPECT_EQ(report.zones(0).forward(), 1);
  EXPECT_EQ(report.detections_file(), detections);
}

TEST_F(RecountCommandTest, TornDetectionsAreCountedUpToTheirLastWholeFrame) {
  // A killed record run: the whole frames of the walk, then a frame cut
  // short.
  VisionResultList walk = Recording({{1, 100, 400, 100}});
  const std::string whole = walk.SerializeAsString();
  walk.add_vision_results()->mutable_frame_data()->set_id(99);
  walk.mutable_vision_results()->rbegin()->add_rect_detection()->set_type("x");
  const std::string all = walk.SerializeAsString();
  const std::string torn = all.substr(0, all.size() - 3);
  const std::string detections = Write("torn.pb", torn);
  const std::string zones = Write("torn.textproto", ZonesText(240));
  ASSERT_EQ(Run({"--detections=" + detections, "--zones=" + zones}), 0) << err_;
  EXPECT_NE(out_.find("11 frames, 1 tracks"), std::string::npos) << out_;
  EXPECT_NE(err_.find("kestu-recount: " + detections +
                      ": ignored a torn last record of " +
                      std::to_string(torn.size() - whole.size()) + " bytes"),
            std::string::npos)
      << err_;
}

struct BadInput {
  const char* name;
  std::string detections;  // file contents
  std::string zones;       // file contents
  std::vector<std::string> messages;
};

class RecountRefusesTest : public RecountCommandTest,
                           public ::testing::WithParamInterface<BadInput> {};

TEST_P(RecountRefusesTest, WithAClearErrorAndStatusOne) {
  const BadInput& c = GetParam();
  const std::string detections =
      Write(std::string(c.name) + ".pb", c.detections);
  const std::string zones = Write(std::string(c.name) + ".textproto", c.zones);
  EXPECT_EQ(Run({"--detections=" + detections, "--zones=" + zones}), 1);
  EXPECT_TRUE(out_.empty()) << out_;
  for (const std::string& message : c.messages) {
    EXPECT_NE(err_.find(message), std::string::npos) << err_;
  }
}

const std::string kGood = Recording({{1, 100, 400, 100}}).SerializeAsString();

INSTANTIATE_TEST_SUITE_P(
    Files, RecountRefusesTest,
    ::testing::Values(
        BadInput{"EmptyDetections",
                 "",
                 ZonesText(240),
                 {"The detections file holds no frame"}},
        // Damaged before its end (a file cut short is read up to its last
        // whole frame).
        BadInput{"DamagedDetections",
                 "\xff\xff" + kGood.substr(0, kGood.size() / 2),
                 ZonesText(240),
                 {"Unable to parse detections file"}},
        BadInput{"ZoneWithoutB",
                 kGood,
                 R"pb(properties { key: "zones" value { array_value { values {
                        entity_value {
                          properties { key: "A" value { entity_value {} } }
                          properties { key: "height" value { integer_value: 9 } }
                        } } } } })pb",
                 {"ERROR: Property B was not found",
                  "ERROR: Zone definition error"}},
        BadInput{"NoZonesAtAll",
                 kGood,
                 "properties { key: \"x\" value {} }",
                 {"No \"zones\" or \"areas\""}}),
    [](const ::testing::TestParamInfo<BadInput>& info) {
      return info.param.name;
    });

}  // namespace
}  // namespace kestu_tools
