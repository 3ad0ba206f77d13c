#include "vision/tracking/tracker_keys.h"

#include <set>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "tests/testing/test_util.h"

namespace talvenrook_vision {
namespace {

Entity Parse(const std::string& text) {
  Entity entity;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &entity))
      << text;
  return entity;
}

// The lines the tracker writes for values it cannot take, word for word,
// and what it keeps.
TEST(TrackerKeyTableTest, WritesEachProblemAsBeforeAndKeepsTheDefaults) {
  struct Case {
    std::string config;
    std::string written;
  };
  const std::vector<Case> cases = {
      {R"pb(properties { key: "tracker_iou_threshold" value { double_value: 1.5 } })pb",
       "WARNING: tracker_iou_threshold 1.5 is not in (0, 1]; 0.3 is used\n"},
      {R"pb(properties { key: "tracker_appearance_weight" value { double_value: -1 } })pb",
       "WARNING: tracker_appearance_weight -1 is not a finite number from 0; "
       "0 is used\n"},
      {R"pb(properties { key: "tracker_min_growth" value { double_value: nan } }
            properties { key: "tracker_min_relative_travel" value { double_value: -0.5 } })pb",
       "WARNING: tracker_min_growth nan is not a finite number from 0; 0 is "
       "used\n"
       "WARNING: tracker_min_relative_travel -0.5 is not a finite number from "
       "0; 0 is used\n"},
      {R"pb(properties { key: "tracker_association" value { string_value: "x" } }
            properties { key: "tracker_motion_model" value { integer_value: 1 } })pb",
       "WARNING: Unknown tracker_motion_model \"\" (\"none\" or "
       "\"constant_velocity\"); none is used\n"
       "WARNING: Unknown tracker_association \"x\" (\"nearest\" or \"iou\"); "
       "nearest is used\n"},
      // Clamped or of another kind: nothing is written.
      {R"pb(properties { key: "tracker_min_travel" value { integer_value: -3 } }
            properties { key: "tracker_min_change" value { integer_value: -3 } }
            properties { key: "tracker_frames_to_discard" value { double_value: 9 } })pb",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    Tracker::Parameters p;
    kestu_testing::StderrCapture capture;
    ReadTrackerParameters(Parse(c.config), &p);
    EXPECT_EQ(capture.str(), c.written);
    const Tracker::Parameters defaults;
    EXPECT_DOUBLE_EQ(p.iou_threshold, defaults.iou_threshold);
    EXPECT_DOUBLE_EQ(p.appearance_weight, 0.0);
    EXPECT_EQ(p.min_growth, 0.0);
    EXPECT_EQ(p.min_relative_travel, 0.0);
    EXPECT_EQ(p.min_travel, 0);
    EXPECT_EQ(p.min_change, 0);
    EXPECT_EQ(p.motion_model, Tracker::MotionModel::kNone);
    EXPECT_EQ(p.association, Tracker::Association::kNearest);
  }
}

TEST(TrackerKeyTableTest, DeclaresEveryTrackerKeyOnceWithTheStructDefaults) {
  const KeyTableDoc& doc = TrackerKeyTable().Describe();
  std::set<std::string> names;
  for (const KeyDoc& key : doc.keys) {
    EXPECT_TRUE(names.insert(key.name).second) << key.name;
    EXPECT_EQ(key.name.rfind("tracker_", 0), 0u) << key.name;
    EXPECT_FALSE(key.description.empty()) << key.name;
  }
  EXPECT_EQ(names.size(), 18u);
  const Tracker::Parameters defaults;
  Tracker::Parameters read;
  read.frames_to_discard = 1;
  TrackerKeyTable().ReadOnly(
      Parse(
          R"pb(properties { key: "tracker_frames_to_discard" value { integer_value: 9 } }
                 properties { key: "tracker_frames_to_count" value { integer_value: 7 } })pb"),
      {"tracker_frames_to_discard"}, &read);
  EXPECT_EQ(read.frames_to_discard, 9);
  EXPECT_EQ(read.frames_to_count, defaults.frames_to_count);
  EXPECT_EQ(doc.keys[1].name, "tracker_frames_to_discard");
  EXPECT_EQ(doc.keys[1].default_text,
            std::to_string(defaults.frames_to_discard));
}

}  // namespace
}  // namespace talvenrook_vision
