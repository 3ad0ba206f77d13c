// The object pipelines' keys as the client sees them: every problem with a
// value is a note (level and text) collected while the pipeline is set up,
// naming its key, and the value that stays is the one the note says. The
// tables that read the pipeline's config map never declare one key twice.
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/vision/objects/objects_test_util.h"
#include "vision/config/setup_notes.h"
#include "vision/detectors/ssd_detector_adapter.h"
#include "vision/objects/crowd_analytics_video_v1.h"
#include "vision/objects/object_keys.h"
#include "vision/objects/vehicle_analytics_video_v1.h"
#include "vision/regions/night_solution.h"
#include "vision/tracking/tracker_keys.h"
#include "vision/tracking/tracker_mode.h"
#include "vision/tracking/zone_config.h"

namespace talvenrook_vision {
namespace {

using testing_util::EyeConfig;
using testing_util::YoloPersonModel;

// The notes written while `set_up` runs.
std::vector<SetupNote> NotesOf(const std::function<void()>& set_up) {
  SetupNotes notes;
  {
    SetupNotes::Collect collect(&notes);
    set_up();
  }
  return notes.notes();
}

bool HasNote(const std::vector<SetupNote>& notes, NoteLevel level,
             const std::string& message) {
  for (const SetupNote& note : notes) {
    if (note.level == level && note.message == message) return true;
  }
  return false;
}

std::string Lines(const std::vector<SetupNote>& notes) {
  std::string lines;
  for (const SetupNote& note : notes) lines += note.Line() + "\n";
  return lines;
}

struct ObjectKeyCase {
  const char* name;
  std::string config;  // config map text
  NoteLevel level;
  std::string message;
  // What the set-up pipeline keeps.
  std::function<bool(const SSDAnalyticsVideoV1&)> kept;
};

class ObjectKeysTest : public ::testing::TestWithParam<ObjectKeyCase> {};

TEST_P(ObjectKeysTest, AProblemIsANoteAndTheValueKeptIsTheOneItNames) {
  const ObjectKeyCase& c = GetParam();
  SSDAnalyticsVideoV1 pipeline;
  const std::vector<SetupNote> notes = NotesOf([&] {
    EXPECT_TRUE(pipeline.Setup(EyeConfig(c.config, {YoloPersonModel()})).ok());
  });
  EXPECT_TRUE(HasNote(notes, c.level, c.message)) << Lines(notes);
  EXPECT_TRUE(c.kept(pipeline));
}

const auto kAnything = [](const SSDAnalyticsVideoV1&) { return true; };

INSTANTIATE_TEST_SUITE_P(
    Keys, ObjectKeysTest,
    ::testing::Values(
        ObjectKeyCase{
            "MinAreaAboveOne",
            R"pb(properties { key: "motion_gating" value { boolean_value: true } }
                 properties { key: "motion_gating_min_area" value { double_value: 1.5 } })pb",
            NoteLevel::kWarning,
            "motion_gating_min_area 1.5 is not in [0, 1]; 0.005 is used",
            [](const SSDAnalyticsVideoV1& p) {
              return p.motion_gate().enabled() &&
                     p.motion_gate().min_area() == 0.005;
            }},
        ObjectKeyCase{
            "NegativeMaxSkip",
            R"pb(properties { key: "motion_gating_max_skip" value { integer_value: -3 } })pb",
            NoteLevel::kWarning,
            "motion_gating_max_skip -3 is negative; 10 is used",
            [](const SSDAnalyticsVideoV1& p) {
              return p.motion_gate().max_skip() == 10;
            }},
        ObjectKeyCase{
            "OverlapOfZero",
            R"pb(properties { key: "suppression_overlap_threshold" value { integer_value: 0 } })pb",
            NoteLevel::kWarning,
            "suppression_overlap_threshold 0 is not in (0, 1]; 0.2 is used",
            kAnything},
        ObjectKeyCase{
            "UnknownAppearance",
            R"pb(properties { key: "tracker_appearance" value { string_value: "sift" } })pb",
            NoteLevel::kWarning,
            "Unknown tracker_appearance \"sift\" (\"none\" or "
            "\"colour_histogram\"); no appearance descriptor is computed",
            kAnything},
        ObjectKeyCase{
            "AppearanceWithoutOcclusion",
            R"pb(properties { key: "tracker_appearance" value { string_value: "colour_histogram" } })pb",
            NoteLevel::kWarning,
            "tracker_appearance needs tracker_deals_with_occlusion true; no "
            "appearance descriptor is computed",
            kAnything},
        ObjectKeyCase{
            "UnknownLabel",
            R"pb(properties { key: "indexes_to_filter" value { array_value {
                   values { string_value: "nobody" } values { integer_value: 3 } } } })pb",
            NoteLevel::kWarning,
            "Label \"nobody\" from indexes_to_filter not found",
            [](const SSDAnalyticsVideoV1& p) {
              return p.class_keep_set() == std::set<int32_t>{3};
            }},
        ObjectKeyCase{
            "ClassCount",
            R"pb(properties { key: "indexes_to_filter" value { array_value {
                   values { string_value: "person" } } } })pb",
            NoteLevel::kInfo, "Indexes to filter: 1",
            [](const SSDAnalyticsVideoV1& p) {
              return p.class_keep_set() == std::set<int32_t>{0};
            }},
        ObjectKeyCase{
            "AreasNotAList",
            R"pb(properties { key: "areas" value { integer_value: 4 } })pb",
            NoteLevel::kWarning,
            "\"areas\" is not a list of areas; no area is configured",
            kAnything},
        ObjectKeyCase{
            "ZoneWithoutHeight",
            R"pb(properties { key: "zones" value { array_value { values { entity_value {
                   properties { key: "A" value { entity_value { } } }
                   properties { key: "B" value { entity_value { } } } } } } } })pb",
            NoteLevel::kError, "Zone definition error",
            [](const SSDAnalyticsVideoV1& p) {
              return p.zone_events().zones().empty();
            }},
        ObjectKeyCase{
            "TooManyClasses",
            R"pb(properties { key: "tracker_num_classes" value { integer_value: 20000 } })pb",
            NoteLevel::kWarning,
            "tracker_num_classes and tracker_num_recent must be at most 10000 "
            "and 1000, got 20000 and 5; using 90 and 5",
            kAnything},
        ObjectKeyCase{
            "TrackerKeyOutOfBounds",
            R"pb(properties { key: "tracker_iou_threshold" value { double_value: 1.5 } })pb",
            NoteLevel::kWarning,
            "tracker_iou_threshold 1.5 is not in (0, 1]; 0.3 is used",
            kAnything}),
    [](const ::testing::TestParamInfo<ObjectKeyCase>& info) {
      return std::string(info.param.name);
    });

// The keys of the crowd and vehicle pipelines around the object pipeline.
TEST(WrapperKeysTest, ClaheAndQuantitySkipProblemsAreNotes) {
  const std::string clahe_without_y = R"pb(
    properties { key: "clahe" value { entity_value {
      properties { key: "clip_limit" value { double_value: 2.0 } }
      properties { key: "tiles_grid_size_x" value { integer_value: 8 } } } } })pb";
  CrowdAnalyticsVideoV1 crowd;
  std::vector<SetupNote> notes = NotesOf([&] {
    EXPECT_TRUE(
        crowd.Setup(EyeConfig(clahe_without_y, {YoloPersonModel()})).ok());
  });
  EXPECT_TRUE(HasNote(notes, NoteLevel::kError,
                      "Property tiles_grid_size_y was not found"))
      << Lines(notes);
  EXPECT_FALSE(crowd.clahe().enabled());

  VehicleAnalyticsVideoV1 vehicle;
  notes = NotesOf([&] {
    EXPECT_TRUE(vehicle
                    .Setup(EyeConfig(R"pb(
      properties { key: "only_detection" value { boolean_value: true } }
      properties { key: "allow_backward_motion" value { boolean_value: false } }
      properties { key: "quantity_skip_obj" value { array_value {
        values { integer_value: 30 } values { integer_value: 0 } } } }
      properties { key: "clahe" value { entity_value {
        properties { key: "clip_limit" value { integer_value: 3 } }
        properties { key: "tiles_grid_size_x" value { integer_value: 4 } }
        properties { key: "tiles_grid_size_y" value { integer_value: 6 } }
        properties { key: "use_at_night" value { boolean_value: true } }
        properties { key: "use_at_day" value { boolean_value: false } } } } })pb",
                                     {YoloPersonModel()}))
                    .ok());
  });
  EXPECT_TRUE(HasNote(notes, NoteLevel::kWarning,
                      "quantity_skip_obj entry 0 is not a positive number of "
                      "frames; using 1 (every frame)"))
      << Lines(notes);
  EXPECT_TRUE(HasNote(notes, NoteLevel::kInfo, "Using CLAHE algorithm."));
  EXPECT_EQ(vehicle.quantity_skip().periods(), (std::vector<int32_t>{30, 1}));
  EXPECT_TRUE(vehicle.only_detection());
  EXPECT_FALSE(vehicle.allow_backward_motion());
  EXPECT_TRUE(vehicle.clahe().enabled());
  EXPECT_TRUE(vehicle.clahe().use_at_night());
  EXPECT_FALSE(vehicle.clahe().use_at_day());
}

// Every key of the pipeline's config map has one parser: no two tables
// that read that map declare the same key.
TEST(PipelineKeyTablesTest, NoKeyIsDeclaredTwice) {
  const std::vector<KeyTableDoc> tables = {
      TrackerKeyTable().Describe(),          TrackerMode::Keys().Describe(),
      ObjectKeyTable().Describe(),           MotionGateKeyTable().Describe(),
      WrapperKeyTable().Describe(),          NightSolution::Keys().Describe(),
      SSDDetectorAdapter::Keys().Describe(), MotionGrid::Keys().Describe(),
      PlaceListKeyTable().Describe()};
  std::set<std::string> seen;
  for (const KeyTableDoc& table : tables) {
    for (const KeyDoc& key : table.keys) {
      EXPECT_TRUE(seen.insert(key.name).second)
          << key.name << " again in " << table.component;
    }
  }
}

}  // namespace
}  // namespace talvenrook_vision
