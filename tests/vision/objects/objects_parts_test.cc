// The parts of the object pipelines on their own: filtering and
// suppression, the re-classification schedule, the statistics panel, speed
// units and the CLAHE decision.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testing/test_util.h"
#include "tests/vision/objects/objects_test_util.h"
#include "vision/objects/clahe_enhancer.h"
#include "vision/objects/detection_filter.h"
#include "vision/objects/quantity_skip.h"
#include "vision/objects/speed_units.h"
#include "vision/objects/zone_statistics.h"

namespace talvenrook_vision {
namespace {

using testing_util::ParseEntity;

// --- Filtering ------------------------------------------------------------

DetectionList List(const std::vector<cv::Rect>& boxes,
                   const std::vector<float>& scores,
                   const std::vector<int32_t>& labels) {
  DetectionList list;
  list.boxes = boxes;
  list.confidences = scores;
  list.labels = labels;
  return list;
}

TEST(DetectionFilterTest, SuppressionReordersByMovingTheLastEntry) {
  // B overlaps A and E overlaps D, each with the lower score; C stands
  // alone. Suppression keeps A, C and D, which come out as A, D, C.
  const cv::Rect a(0, 0, 100, 100), b(10, 10, 100, 100), c(300, 0, 50, 50),
      d(500, 0, 80, 80), e(505, 5, 80, 80);
  DetectionList list =
      List({a, b, c, d, e}, {0.9f, 0.5f, 0.7f, 0.8f, 0.4f}, {1, 2, 3, 4, 5});
  DetectionFilter filter;
  filter.Apply(&list);
  EXPECT_EQ(list.boxes, (std::vector<cv::Rect>{a, d, c}));
  EXPECT_EQ(list.labels, (std::vector<int32_t>{1, 4, 3}));
  EXPECT_EQ(list.confidences, (std::vector<float>{0.9f, 0.8f, 0.7f}));
}

TEST(DetectionFilterTest, OverlapAboveThresholdAcrossClassesKeepsTheBest) {
  // Intersection over union 0.33 (> 0.2): one survives whatever the class.
  DetectionList list =
      List({{0, 0, 100, 100}, {50, 0, 100, 100}}, {0.6f, 0.9f}, {1, 7});
  DetectionFilter filter;
  filter.Apply(&list);
  ASSERT_EQ(list.boxes.size(), 1u);
  EXPECT_EQ(list.labels[0], 7);
  // Intersection over union 0.11 (< 0.2): both stay.
  list = List({{0, 0, 100, 100}, {80, 0, 100, 100}}, {0.6f, 0.9f}, {1, 7});
  filter.Apply(&list);
  EXPECT_EQ(list.boxes.size(), 2u);
}

TEST(DetectionFilterTest, ClassFilterKeepsWantedLabelsOnly) {
  DetectionList list = List(
      {{0, 0, 10, 10}, {100, 0, 10, 10}, {200, 0, 10, 10}, {300, 0, 10, 10}},
      {0.5f, 0.6f, 0.7f, 0.8f}, {1, 3, 2, 3});
  DetectionFilter filter;
  filter.set_keep({1, 2});
  filter.FilterClasses(&list);
  // Entry 3 goes first (the last entry moves onto itself), then entry 1
  // (replaced by entry 2).
  EXPECT_EQ(list.labels, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(list.confidences, (std::vector<float>{0.5f, 0.7f}));
  // Without labels (Haar) nothing is filtered.
  DetectionList unlabelled = List({{0, 0, 10, 10}}, {}, {});
  filter.Apply(&unlabelled);
  EXPECT_EQ(unlabelled.boxes.size(), 1u);
}

// --- Re-classification schedule -------------------------------------------

TEST(QuantitySkipTest, BandsOfThirtyFiveOne) {
  QuantitySkip skip;
  for (int period : {30, 5, 1}) skip.Append(period);
  struct Case {
    float uncertainty;
    int64_t frame;
    bool classify;
  };
  const Case cases[] = {
      {0.5f, 10, true},     {0.5f, 12, false},  // band 1: every 5 frames
      {0.9f, 7, true},      {0.9f, 13, true},   // band 2: every frame
      {0.1f, 60, true},     {0.1f, 45, false},  // band 0: every 30 frames
      {1.0f / 3, 30, true},                     // band 0 holds 1/3 ...
      {1.0f / 3, 35, true},                     // ... and so does band 1
      {1.0f / 3, 7, false}, {0.0f, 0, true},   {1.0f, 3, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(skip.ClassifyNow(c.uncertainty, c.frame), c.classify)
        << c.uncertainty << " at frame " << c.frame;
  }
}

TEST(QuantitySkipTest, EmptyListNeverClassifiesAndBadPeriodsReadAsOne) {
  QuantitySkip empty;
  EXPECT_FALSE(empty.ClassifyNow(0.5f, 0));
  kestu_testing::StderrCapture capture;
  QuantitySkip skip;
  skip.Configure(ParseEntity(R"pb(
    properties { key: "quantity_skip_obj" value { array_value {
      values { integer_value: 0 } values { integer_value: -4 }
      values { string_value: "x" } } } })pb"));
  EXPECT_EQ(skip.periods(), (std::vector<int32_t>{1, 1, 1}));
  EXPECT_TRUE(capture.Contains(
      "WARNING: quantity_skip_obj entry 0 is not a positive number of frames"));
  EXPECT_TRUE(capture.Contains("WARNING: quantity_skip_obj entry -4"));
  for (int64_t frame : {0, 7, 13}) EXPECT_TRUE(skip.ClassifyNow(0.2f, frame));
}

// --- Speed units and statistics -------------------------------------------

TEST(SpeedUnitsTest, NamesCodesAndTexts) {
  struct Case {
    std::string value_text;
    int32_t unit;
  };
  const Case cases[] = {
      {"string_value: \"km\"", 1},    {"string_value: \"km/h\"", 1},
      {"string_value: \"1\"", 1},     {"string_value: \"Km/h\"", 0},
      {"string_value: \"KM\"", 0},    {"string_value: \"mi\"", 2},
      {"string_value: \"miles\"", 2}, {"string_value: \"2\"", 2},
      {"string_value: \"\"", 0},      {"integer_value: 1", 1},
      {"integer_value: 2", 2},        {"double_value: 2.0", 0},
      {"boolean_value: true", 0},
  };
  for (const Case& c : cases) {
    const Entity map = ParseEntity("properties { key: \"speed_unit\" value { " +
                                   c.value_text + " } }");
    EXPECT_EQ(SpeedUnitFromValue(GetProperty(map, "speed_unit")), c.unit)
        << c.value_text;
  }
  EXPECT_EQ(SpeedText(10.0f, kMilesPerHour), "22.37Mph");
  EXPECT_EQ(SpeedText(12.5f, kKilometresPerHour), "45.00Km/h");
  EXPECT_EQ(SpeedText(1.5f, kMetresPerSecond), "1.50m/s");
  EXPECT_EQ(SpeedText(1.5f, 7), "1.50m/s");
}

Entity StatsConfig(const std::string& unit, bool show_speed = true) {
  return ParseEntity(
      "properties { key: \"speed_unit\" value { " + unit + " } } " +
      R"pb(properties { key: "stats_options" value { entity_value {
        properties { key: "show_speed" value { boolean_value: )pb" +
      (show_speed ? std::string("true") : std::string("false")) + R"pb( } }
        properties { key: "show_average_speed" value { boolean_value: true } }
        properties { key: "show_count_per_zone" value { boolean_value: true } }
      } } })pb");
}

TEST(ZoneStatisticsTest, MilesPerHourTexts) {
  ZoneStatistics stats;
  stats.Configure(StatsConfig("string_value: \"mi\""));
  stats.Record("door", 10.0f);
  stats.Record("door", 20.0f);
  const auto lines = stats.ColumnText("door");
  EXPECT_EQ(lines[0], "door");
  EXPECT_EQ(lines[1], "44.74Mph");
  EXPECT_EQ(lines[2], "33.56Mph");  // 15 m/s in single precision
  EXPECT_EQ(lines[3], "2");
}

TEST(ZoneStatisticsTest, ZeroSpeedsAreDashesButCount) {
  ZoneStatistics stats;
  stats.Configure(StatsConfig("integer_value: 1"));
  EXPECT_EQ(stats.speed_unit(), kKilometresPerHour);
  stats.Record("gate", 0.0f);
  stats.Record("gate", 0.0f);
  const auto lines = stats.ColumnText("gate");
  EXPECT_EQ(lines[1], "-");
  EXPECT_EQ(lines[2], "-");
  EXPECT_EQ(lines[3], "2");
  // Speeds hidden by the options are dashes too.
  ZoneStatistics hidden;
  hidden.Configure(StatsConfig("string_value: \"km\"", /*show_speed=*/false));
  hidden.Record("gate", 3.0f);
  EXPECT_EQ(hidden.ColumnText("gate")[1], "-");
  EXPECT_EQ(hidden.ColumnText("gate")[2], "10.80Km/h");
}

TEST(ZoneStatisticsTest, PanelGeometryOn1280x720) {
  ZoneStatistics stats;
  stats.Configure(StatsConfig("integer_value: 0"));
  stats.Record("door", 1.0f);
  cv::Mat frame(720, 1280, CV_8UC3, cv::Scalar(0, 0, 255));
  stats.Draw(frame);
  auto black = [&](int x, int y) {
    return frame.at<cv::Vec3b>(y, x) == cv::Vec3b(0, 0, 0);
  };
  auto untouched = [&](int x, int y) {
    return frame.at<cv::Vec3b>(y, x) == cv::Vec3b(0, 0, 255);
  };
  // The panel is 108 pixels high (720 x 0.15); the zone's column starts at
  // 1130 and the header column at 980.
  EXPECT_TRUE(black(1130, 107) && black(1279, 107) && black(980, 107));
  EXPECT_TRUE(untouched(1130, 108) && untouched(979, 50));
  // Text lines: white pixels lie just above the baselines 23, 47, 71, 95
  // and not on the panel rows between them.
  auto white_in_rows = [&](int x0, int y0, int y1) {
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x < x0 + 150; ++x)
        if (frame.at<cv::Vec3b>(y, x) == cv::Vec3b(255, 255, 255)) return true;
    return false;
  };
  for (int baseline : {23, 47, 71, 95}) {
    EXPECT_TRUE(white_in_rows(980, baseline - 8, baseline)) << baseline;
    EXPECT_TRUE(white_in_rows(1130, baseline - 8, baseline)) << baseline;
  }
  EXPECT_FALSE(white_in_rows(980, 0, 12));
  EXPECT_FALSE(white_in_rows(1130, 100, 107));
}

TEST(ZoneStatisticsTest, WithoutOptionsNothingIsDrawnButExitsCount) {
  ZoneStatistics stats;
  stats.Configure(ParseEntity(""));
  VisionResult result;
  for (auto tag : {::talvenrook::vision::v1::ZONE_EXIT,
                   ::talvenrook::vision::v1::ZONE_ENTER,
                   ::talvenrook::vision::v1::ZONE_EXIT}) {
    auto* event = result.add_vision_event();
    event->set_tag(tag);
    event->set_zone_name("door");
    event->set_speed(1.0f);
  }
  RecordZoneExits(result, &stats);
  EXPECT_EQ(stats.counts().at("door"), 2);
  cv::Mat frame(720, 1280, CV_8UC3, cv::Scalar(0, 0, 255));
  const cv::Mat before = frame.clone();
  stats.Draw(frame);
  EXPECT_EQ(cv::norm(frame, before, cv::NORM_INF), 0.0);
  // With one zone and no exit yet, only the header column is drawn.
  ZoneStatistics empty;
  empty.Configure(StatsConfig("integer_value: 0"));
  empty.Draw(frame);
  EXPECT_EQ(frame.at<cv::Vec3b>(0, 1279), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(frame.at<cv::Vec3b>(0, 1129), cv::Vec3b(0, 0, 255));
}

// --- CLAHE ----------------------------------------------------------------

Entity Clahe(const std::string& members) {
  return ParseEntity("properties { key: \"clahe\" value { entity_value { " +
                     members + " } } }");
}

const char kClaheGroup[] = R"pb(
  properties { key: "clip_limit" value { integer_value: 4 } }
  properties { key: "tiles_grid_size_x" value { integer_value: 4 } }
  properties { key: "tiles_grid_size_y" value { integer_value: 4 } })pb";

std::string Switches(bool night, bool day) {
  return std::string(
             "properties { key: \"use_at_night\" value { boolean_value: ") +
         (night ? "true" : "false") +
         " } } properties { key: \"use_at_day\" value { boolean_value: " +
         (day ? "true" : "false") + " } }";
}

TEST(ClaheEnhancerTest, DecisionTable) {
  struct Case {
    bool night, day;
    bool at_unknown, at_day, at_night;
  };
  const Case cases[] = {
      {false, true, false, true, false},
      {true, false, false, false, true},
      {true, true, true, true, true},
      {false, false, false, false, false},
  };
  for (const Case& c : cases) {
    ClaheEnhancer clahe;
    clahe.Configure(Clahe(kClaheGroup + Switches(c.night, c.day)));
    ASSERT_TRUE(clahe.enabled());
    EXPECT_EQ(clahe.ShouldEnhance(0), c.at_unknown) << c.night << c.day;
    EXPECT_EQ(clahe.ShouldEnhance(1), c.at_day) << c.night << c.day;
    EXPECT_EQ(clahe.ShouldEnhance(2), c.at_night) << c.night << c.day;
  }
}

TEST(ClaheEnhancerTest, EnhancesACopyOnly) {
  ClaheEnhancer clahe;
  clahe.Configure(Clahe(kClaheGroup + Switches(false, true)));
  const cv::Mat frame = testing_util::ReadImage("road_frame.jpg");
  const cv::Mat before = frame.clone();
  const cv::Mat day = clahe.Apply(frame, 1);
  EXPECT_EQ(cv::norm(frame, before, cv::NORM_INF), 0.0);
  EXPECT_GT(cv::norm(day, frame, cv::NORM_L1), 0.0);
  EXPECT_EQ(clahe.Apply(frame, 2).data, frame.data);  // night: as it is
}

TEST(ClaheEnhancerTest, IncompleteGroupDisablesAndMissingSwitchRefuses) {
  {
    kestu_testing::StderrCapture capture;
    ClaheEnhancer clahe;
    clahe.Configure(Clahe(R"pb(
      properties { key: "clip_limit" value { integer_value: 4 } }
      properties { key: "tiles_grid_size_x" value { integer_value: 4 } })pb" +
                          Switches(true, true)));
    EXPECT_FALSE(clahe.enabled());
    EXPECT_FALSE(clahe.ShouldEnhance(1));
    EXPECT_TRUE(
        capture.Contains("ERROR: Property tiles_grid_size_y was not found\n"));
  }
  ClaheEnhancer clahe;
  try {
    clahe.Configure(Clahe(kClaheGroup + std::string(R"pb(
      properties { key: "use_at_night" value { boolean_value: true } })pb")));
    FAIL() << "a complete group without use_at_day was accepted";
  } catch (const MissingPropertyError& e) {
    EXPECT_STREQ(e.what(),
                 "CHECK failed: it != end(): key not found: use_at_day");
  }
  EXPECT_FALSE(clahe.enabled());
}

}  // namespace
}  // namespace talvenrook_vision
