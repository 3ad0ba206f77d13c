// kestu-score: hand-made truth and tracks whose scores are known, zone
// passes of hand-made walks, and the command on inputs it must refuse.
#include <fstream>
#include <string>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include "kestu_tools.pb.h"
#include "tests/tools/tool_command_test.h"
#include "tools/recount/recounter.h"
#include "tools/score/mot_metrics.h"
#include "tools/score/zone_passes.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using Entity = ::talvenrook::common::Entity;
using VisionResultList = v1::VisionResultList;

constexpr char kScore[] = KESTU_BINARY_DIR "/tools/kestu-score";

// A box that moves `dx` pixels a frame, present in frames first..last
// (truth frames; for results, result first - 1 to last - 1).
struct Path {
  int64_t id;
  int first;
  int last;
  double x;
  double y = 100;
  double width = 40;
  double height = 80;
  double dx = 5;
  int confidence = 1;  // truth only
  cv::Rect2d At(int frame) const {
    return cv::Rect2d(x + dx * (frame - first), y, width, height);
  }
};

std::string TruthText(const std::vector<Path>& paths) {
  std::string text;
  for (const Path& p : paths) {
    for (int f = p.first; f <= p.last; ++f) {
      const cv::Rect2d b = p.At(f);
      text += std::to_string(f) + "," + std::to_string(p.id) + "," +
              std::to_string(b.x) + "," + std::to_string(b.y) + "," +
              std::to_string(b.width) + "," + std::to_string(b.height) + "," +
              std::to_string(p.confidence) + ",-1,-1,-1\n";
    }
  }
  return text;
}

VisionResultList Results(const std::vector<Path>& paths, int frames) {
  VisionResultList list;
  for (int f = 1; f <= frames; ++f) {
    v1::VisionResult* result = list.add_vision_results();
    for (const Path& p : paths) {
      if (f < p.first || f > p.last) continue;
      const cv::Rect2d b = p.At(f);
      auto* detection = result->add_rect_detection();
      detection->set_tracking_id(static_cast<uint64_t>(p.id));
      detection->mutable_location()->set_x(b.x);
      detection->mutable_location()->set_y(b.y);
      detection->mutable_location()->set_width(b.width);
      detection->mutable_location()->set_height(b.height);
    }
  }
  return list;
}

struct ScoreCase {
  const char* name;
  std::vector<Path> truth;
  std::vector<Path> results;
  int frame_offset;
  double iou;
  bool ignore_zero_confidence;
  double mota;
  double idf1;
  int64_t switches;
  int64_t false_positives;
  int64_t misses;
};

void PrintTo(const ScoreCase& c, std::ostream* os) { *os << c.name; }

class ScoreTest : public ::testing::TestWithParam<ScoreCase> {};

TEST_P(ScoreTest, GivesTheKnownFigures) {
  const ScoreCase& c = GetParam();
  MotFrames truth;
  std::string error;
  ASSERT_TRUE(ParseMot(TruthText(c.truth), "truth", &truth, &error)) << error;
  ScoreOptions options;
  options.iou_threshold = c.iou;
  options.ignore_zero_confidence = c.ignore_zero_confidence;
  const ScoreSummary s = Score(
      truth, ResultsAsFrames(Results(c.results, 12), c.frame_offset), options);
  EXPECT_NEAR(s.clear.mota, c.mota, 1e-3);
  EXPECT_NEAR(s.identity.idf1, c.idf1, 1e-3);
  EXPECT_EQ(s.clear.identity_switches, c.switches);
  EXPECT_EQ(s.clear.false_positives, c.false_positives);
  EXPECT_EQ(s.clear.misses, c.misses);
}

// Truth identities 1 and 2 walk frames 1 to 10; results are on the same
// boxes unless said otherwise.
const Path kOne{1, 1, 10, 0};
const Path kTwo{2, 1, 10, 300};

Path Moved(Path p, int64_t id, int first, int last) {
  p.x = p.At(first).x;
  p.id = id;
  p.first = first;
  p.last = last;
  return p;
}

Path Shifted(Path p, int64_t id, double by) {
  p.id = id;
  p.x += by;
  return p;
}

// Track 7 on person 1's boxes, cut to `height`.
Path Cut(double height) {
  Path p = Shifted(kOne, 7, 0);
  p.height = height;
  return p;
}

Path Unscored(Path p) {
  p.confidence = 0;
  return p;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Tracks, ScoreTest,
    ::testing::Values(
        ScoreCase{"Perfect", {kOne, kTwo}, {Shifted(kOne, 7, 0),
                  Shifted(kTwo, 8, 0)}, 0, 0.5, false, 1.0, 1.0, 0, 0, 0},
        // 7 for five frames, then 8: one switch; IDF1 2 * 5 / 20.
        ScoreCase{"SwitchInTheMiddle", {kOne},
                  {Moved(kOne, 7, 1, 5), Moved(kOne, 8, 6, 10)}, 0, 0.5,
                  false, 0.9, 0.5, 1, 0, 0},
        // Lost for frames 5 and 6, found again as a new track.
        ScoreCase{"Fragmented", {kOne},
                  {Moved(kOne, 7, 1, 4), Moved(kOne, 9, 7, 10)}, 0, 0.5,
                  false, 0.7, 2.0 * 4 / 18, 1, 0, 2},
        // Lost for frames 5 and 6, found again under its own id.
        ScoreCase{"GapSameId", {kOne},
                  {Moved(kOne, 7, 1, 4), Moved(kOne, 7, 7, 10)}, 0, 0.5,
                  false, 0.8, 2.0 * 8 / 18, 0, 0, 2},
        ScoreCase{"FalseTrack", {kOne},
                  {Shifted(kOne, 7, 0), Moved(kTwo, 9, 3, 7)}, 0, 0.5, false,
                  0.5, 2.0 * 10 / 25, 0, 5, 0},
        ScoreCase{"MissedPerson", {kOne, kTwo}, {Shifted(kOne, 7, 0)}, 0, 0.5,
                  false, 0.5, 2.0 * 10 / 30, 0, 0, 10},
        // 7 and 8 swap people after frame 5: two switches.
        ScoreCase{"Swap", {kOne, kTwo},
                  {Moved(kOne, 7, 1, 5), Moved(kTwo, 8, 1, 5),
                   Moved(kTwo, 7, 6, 10), Moved(kOne, 8, 6, 10)},
                  0, 0.5, false, 0.9, 0.5, 2, 0, 0},
        // 7 stays at IoU 0.6; from frame 6 track 8 sits exactly on the
        // person. The kept match wins: no switch, 8 is five false boxes.
        ScoreCase{"KeptMatchBeatsABetterNewOne", {kOne},
                  {Shifted(kOne, 7, 10), Moved(kOne, 8, 6, 10)}, 0, 0.5,
                  false, 0.5, 2.0 * 10 / 25, 0, 5, 0},
        // Half the truth box: IoU exactly 0.5 matches.
        ScoreCase{"IouAtTheThreshold", {kOne},
                  {Cut(40)}, 0, 0.5, false, 1.0, 1.0, 0, 0, 0},
        ScoreCase{"IouJustBelow", {kOne},
                  {Cut(39.6)}, 0, 0.5, false, -1.0, 0.0, 0, 10, 10},
        ScoreCase{"IouJustBelowLowerThreshold", {kOne},
                  {Cut(39.6)}, 0, 0.45, false, 1.0, 1.0, 0, 0, 0},
        // The results start two frames after the truth (a fast walker:
        // two frames apart, its boxes do not overlap).
        ScoreCase{"FrameOffset", {Path{1, 3, 10, 0, 100, 40, 80, 30}},
                  {Path{7, 1, 8, 0, 100, 40, 80, 30}}, 2, 0.5, false, 1.0, 1.0,
                  0, 0, 0},
        ScoreCase{"NoFrameOffset", {Path{1, 3, 10, 0, 100, 40, 80, 30}},
                  {Path{7, 1, 8, 0, 100, 40, 80, 30}}, 0, 0.5, false, -1.0, 0.0,
                  0, 8, 8},
        // A negative offset drops the results before truth frame 1 (track
        // 9 here).
        ScoreCase{"NegativeFrameOffset", {Path{1, 1, 8, 0, 100, 40, 80, 30}},
                  {Path{7, 3, 10, 0, 100, 40, 80, 30}, Path{9, 1, 2, 500}}, -2,
                  0.5, false, 1.0, 1.0, 0, 0, 0},
        // Person 2 has confidence 0: scored by default, set aside on demand.
        ScoreCase{"ZeroConfidenceMissedAndScored", {kOne, Unscored(kTwo)},
                  {Shifted(kOne, 7, 0)}, 0, 0.5, false, 0.5, 2.0 * 10 / 30, 0,
                  0, 10},
        ScoreCase{"ZeroConfidenceIgnored", {kOne, Unscored(kTwo)},
                  {Shifted(kOne, 7, 0), Shifted(kTwo, 8, 0)}, 0, 0.5, true,
                  1.0, 1.0, 0, 0, 0},
        ScoreCase{"ZeroConfidenceMissedAndIgnored",
                  {kOne, Unscored(kTwo)},
                  {Shifted(kOne, 7, 0)}, 0, 0.5, true, 1.0, 1.0, 0, 0, 0}),
    [](const ::testing::TestParamInfo<ScoreCase>& info) {
      return info.param.name;
    });
// clang-format on

// The crowd sample's walkway line: vertical at x = 320 from y = 130 to 330,
// band 40 (x 300 to 340); forward is left to right.
constexpr char kWalkway[] = KESTU_SOURCE_DIR "/samples/crowd_walkway.textproto";

// Truth of one person whose box centre is at (xs[f], y) in frame f + 1.
std::string WalkText(const std::vector<int>& xs, int y) {
  std::string text;
  for (size_t f = 0; f < xs.size(); ++f) {
    text += std::to_string(f + 1) + ",1," + std::to_string(xs[f] - 20) + "," +
            std::to_string(y - 40) + ",40,80,1,-1,-1,-1\n";
  }
  return text;
}

struct WalkCase {
  const char* name;
  std::vector<int> xs;
  int y;
  int64_t forward;
  int64_t backward;
};

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

class ZonePassesTest : public ::testing::TestWithParam<WalkCase> {};

TEST_P(ZonePassesTest, CountsEveryFullPass) {
  const WalkCase& c = GetParam();
  Entity zones;
  std::string error;
  ASSERT_TRUE(LoadZonesFragment(kWalkway, &zones, &error)) << error;
  ZonePasses passes;
  ASSERT_TRUE(passes.Configure(zones, &error)) << error;
  MotFrames truth;
  ASSERT_TRUE(ParseMot(WalkText(c.xs, c.y), "walk", &truth, &error)) << error;
  passes.CountTruth(truth, false);
  const auto report = passes.Report();
  ASSERT_EQ(report.size(), 1u);
  EXPECT_EQ(report[0].truth_forward(), c.forward);
  EXPECT_EQ(report[0].truth_backward(), c.backward);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Walks, ZonePassesTest,
    ::testing::Values(
        WalkCase{"Across", {250, 290, 310, 330, 360}, 230, 1, 0},
        WalkCase{"AcrossBackwards", {390, 330, 305, 260}, 230, 0, 1},
        // In, back and forth inside the band, out the way it came.
        WalkCase{"DithersAndTurnsBack", {250, 310, 335, 305, 330, 280}, 230, 0,
                 0},
        // Across with dithering inside the band, out past the line a while,
        // then back across: two passes.
        WalkCase{"CrossesDithersAndComesBack",
                 {250, 310, 330, 315, 335, 360, 350, 365, 330, 310, 325, 270},
                 230, 1, 1},
        WalkCase{"ThereAndBackTwice",
                 {250, 360, 250, 360, 250}, 230, 2, 2},
        // Beyond B: the band does not reach there.
        WalkCase{"BelowTheLine", {250, 290, 310, 330, 360}, 400, 0, 0}),
    [](const ::testing::TestParamInfo<WalkCase>& info) {
      return info.param.name;
    });
// clang-format on

class ScoreCommandTest : public ToolCommandTest {
 protected:
  ScoreCommandTest() : ToolCommandTest(kScore, "kestu-score-") {}
};

// The walk that crosses, dithers and comes back, tracked as track 5 whose
// run published one forward exit (and an ROI exit, which is no crossing),
// scored with the whole sample configuration as zones.
TEST_F(ScoreCommandTest, PrintsTheScoreAndThePassesAsATableOrJson) {
  const std::vector<int> xs = {250, 310, 330, 315, 335, 360,
                               350, 365, 330, 310, 325, 270};
  std::vector<Path> track;
  for (size_t f = 0; f < xs.size(); ++f) {
    track.push_back(Path{5, static_cast<int>(f + 1), static_cast<int>(f + 1),
                         xs[f] - 20.0, 190});
  }
  VisionResultList run = Results(track, static_cast<int>(xs.size()));
  auto* exit = run.mutable_vision_results(5)->add_vision_event();
  exit->set_tag(v1::ZONE_EXIT);
  exit->set_tracking_id(5);
  exit->set_zone_id(0);
  exit->set_zone_name("Walkway");
  exit->set_zone_direction(v1::FORWARD);
  auto* roi = run.mutable_vision_results(11)->add_vision_event();
  roi->set_tag(v1::ZONE_EXIT);
  roi->set_tracking_id(9);
  roi->set_zone_name("ROI #0");
  roi->set_zone_direction(v1::FORWARD);
  // An exit of a zone the sample does not have: reported, not counted.
  auto* stray = run.mutable_vision_results(7)->add_vision_event();
  stray->CopyFrom(*exit);
  stray->set_zone_id(3);
  const std::string detections = Write("walk.pb", run.SerializeAsString());
  const std::string truth = Write("walk.txt", WalkText(xs, 230));
  const std::vector<std::string> args = {"--detections=" + detections,
                                         "--truth=" + truth,
                                         std::string("--zones=") + kWalkway};

  ASSERT_EQ(Run(args), 0) << err_;
  EXPECT_NE(err_.find("ZONE_EXIT events of zone 3"), std::string::npos) << err_;
  for (const char* line :
       {"12 frames, 1 truth identities, 1 result tracks",
        "MOTA                    1.000", "IDF1                    1.000",
        "0     Walkway             forward         1      1           +0",
        "0     Walkway             backward        1      0           -1"}) {
    EXPECT_NE(out_.find(line), std::string::npos) << line << "\n" << out_;
  }

  std::vector<std::string> json_args = args;
  json_args.push_back("--json");
  ASSERT_EQ(Run(json_args), 0) << err_;
  kestu::tools::ScoreReport report;
  ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(out_, &report).ok())
      << out_;
  EXPECT_EQ(report.detections_file(), detections);
  EXPECT_EQ(report.clear_mot().matches(), 12);
  EXPECT_EQ(report.truth_identities(), 1);
  ASSERT_EQ(report.zones_size(), 1);
  EXPECT_EQ(report.zones(0).truth_forward(), 1);
  EXPECT_EQ(report.zones(0).truth_backward(), 1);
  EXPECT_EQ(report.zones(0).run_forward(), 1);
  EXPECT_EQ(report.zones(0).run_backward(), 0);
  EXPECT_EQ(report.zones(0).backward_difference(), -1);
}

// File contents that mean "no such flag".
const char kNoFile[] = "<no file>";

struct BadRun {
  const char* name;
  std::string detections;          // file contents, or kNoFile
  std::string truth;               // file contents, or kNoFile
  std::string zones;               // file contents, or kNoFile
  std::vector<std::string> flags;  // after the files' flags
  std::string message;
};

void PrintTo(const BadRun& c, std::ostream* os) { *os << c.name; }

class ScoreRefusesTest : public ScoreCommandTest,
                         public ::testing::WithParamInterface<BadRun> {};

TEST_P(ScoreRefusesTest, WithAClearErrorAndStatusOne) {
  const BadRun& c = GetParam();
  const std::string base = c.name;
  std::vector<std::string> args;
  if (c.detections != kNoFile) {
    args.push_back("--detections=" + Write(base + ".pb", c.detections));
  }
  if (c.truth != kNoFile) {
    args.push_back("--truth=" + Write(base + ".txt", c.truth));
  }
  if (c.zones != kNoFile) {
    args.push_back("--zones=" + Write(base + ".textproto", c.zones));
  }
  args.insert(args.end(), c.flags.begin(), c.flags.end());
  EXPECT_EQ(Run(args), 1);
  EXPECT_TRUE(out_.empty()) << out_;
  EXPECT_NE(err_.find(c.message), std::string::npos) << err_;
}

const std::string kRun = Results({kOne}, 10).SerializeAsString();
const std::string kTruth = TruthText({kOne});

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Inputs, ScoreRefusesTest,
    ::testing::Values(
        BadRun{"NoTruthFlag", kRun, kNoFile, kNoFile, {"--json"},
               "--detections and --truth are required"},
        BadRun{"TruthMissing", kRun, kNoFile, kNoFile,
               {"--truth=/nonexistent/gt.txt"},
               "Unable to open ground-truth file: /nonexistent/gt.txt"},
        BadRun{"DetectionsMissing", kNoFile, kTruth, kNoFile,
               {"--detections=/nonexistent/run.pb"},
               "Unable to open detections file: /nonexistent/run.pb"},
        BadRun{"EmptyDetections", "", kTruth, kNoFile, {},
               "The detections file holds no frame"},
        // Damaged before its end (a file cut short is read up to its last
        // whole frame).
        BadRun{"DamagedDetections",
               "\xff\xff" + kRun.substr(0, kRun.size() / 2), kTruth, kNoFile, {}, "Unable to parse detections file"},
        BadRun{"EmptyTruth", kRun, "\n\n", kNoFile, {}, "holds no box"},
        BadRun{"TruthLineWithoutABox", kRun,
               kTruth.substr(0, kTruth.find('\n')) + "\n2,1,x,10\n", kNoFile,
               {}, "line 2: expected frame,id,left,top,width,height"},
        BadRun{"TruthFrameZero", kRun, "0,1,10,10,20,20,1\n", kNoFile, {},
               "line 1: the frame must be a whole number"},
        BadRun{"TruthIdentityNotWhole", kRun, "1,1.5,10,10,20,20,1\n", kNoFile,
               {}, "line 1: the identity must be a whole number"},
        BadRun{"TruthEmptyBox", kRun, "1,1,10,10,0,20,1\n", kNoFile, {},
               "line 1: the box must have a positive width and height"},
        BadRun{"TruthIdentityTwice", kRun,
               "1,3,10,10,20,20,1\n1,3,50,10,20,20,1\n", kNoFile, {},
               "line 2: identity 3 appears twice in frame 1"},
        BadRun{"IouZero", kRun, kTruth, kNoFile, {"--iou=0"},
               "--iou must be above 0 and at most 1"},
        BadRun{"IouAboveOne", kRun, kTruth, kNoFile, {"--iou=1.5"},
               "--iou must be above 0 and at most 1"},
        BadRun{"OffsetBeforeTheTruth", kRun, kTruth, kNoFile,
               {"--frame_offset=-10"},
               "puts all 10 results before the first truth frame"},
        BadRun{"ZoneWithoutB", kRun, kTruth,
               R"pb(properties { key: "zones" value { array_value { values {
                      entity_value {
                        properties { key: "A" value { entity_value {} } }
                        properties { key: "height" value { integer_value: 9 } }
                      } } } } })pb",
               {}, "ERROR: Property B was not found"},
        BadRun{"AreasButNoZone", kRun, kTruth,
               R"pb(properties { key: "areas" value { array_value {} } })pb",
               {}, "no zone to count passes with"},
        BadRun{"ZonesNotTextFormat", kRun, kTruth, "zones: [", {},
               "No \"zones\" or \"areas\""},
        BadRun{"NegativePassTolerance", kRun, kTruth, kNoFile,
               {"--pass_tolerance=-1"}, "--pass_tolerance must be 0 or more"},
        BadRun{"WindowWithoutZones", kRun, kTruth, kNoFile,
               {"--window_frames=100"},
               "--window_s and --window_frames need --zones"},
        BadRun{"WindowSecondsWithoutFps", kRun, kTruth, kNoFile,
               {std::string("--zones=") + kWalkway, "--window_s=10"},
               "--window_s needs the clip's frame rate: give --fps"},
        BadRun{"TwoWindows", kRun, kTruth, kNoFile,
               {std::string("--zones=") + kWalkway, "--window_s=10",
                "--fps=10", "--window_frames=100"},
               "give --window_s or --window_frames, not both"},
        BadRun{"WindowUnderAFrame", kRun, kTruth, kNoFile,
               {std::string("--zones=") + kWalkway, "--window_s=0.05",
                "--fps=10"},
               "--window_s=0.05 at --fps=10 is less than a frame"},
        BadRun{"NegativeFps", kRun, kTruth, kNoFile, {"--fps=-10"},
               "--fps must be a positive number"}),
    // clang-format on
    [](const ::testing::TestParamInfo<BadRun>& info) {
      return info.param.name;
    });

}  // namespace
}  // namespace kestu_tools
