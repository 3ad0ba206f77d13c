// kestu-score's pass matching and count error per window: hand-made truth
// walks across the crowd sample's walkway line and hand-placed ZONE_EXIT
// events, scored by the kestu-score binary, with figures worked out by
// hand; and the matching against an exhaustive search.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include "kestu_tools.pb.h"
#include "tests/tools/tool_command_test.h"
#include "tools/score/pass_accuracy.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;

constexpr char kScore[] = KESTU_BINARY_DIR "/tools/kestu-score";
// Vertical line x = 320 from y = 130 to 330, band x 300 to 340; forward is
// left to right.
constexpr char kWalkway[] = KESTU_SOURCE_DIR "/samples/crowd_walkway.textproto";

// A pass through the walkway that completes at `frame` (truth numbering).
struct Pass {
  int frame;
  bool backward = false;
};

Pass Back(int frame) { return Pass{frame, true}; }

// Every truth pass is its own person, whose box centre is left of the band
// two frames before, in it one frame before and right of it at the frame
// (mirrored for backward); and someone stands far from the line in frame 1.
std::string TruthText(const std::vector<Pass>& passes) {
  std::string text = "1,1000,80,190,40,80,1,-1,-1,-1\n";
  int id = 1;
  for (const Pass& pass : passes) {
    const int xs[] = {250, 320, 390};
    for (int step = 0; step < 3; ++step) {
      const int x = xs[pass.backward ? 2 - step : step];
      text += std::to_string(pass.frame - 2 + step) + "," + std::to_string(id) +
              "," + std::to_string(x - 20) + ",190,40,80,1,-1,-1,-1\n";
    }
    ++id;
  }
  return text;
}

// `frames` results without boxes; a ZONE_EXIT of the walkway in result
// pass.frame - 1 - frame_offset for every pass.
std::string RunBytes(int frames, const std::vector<Pass>& passes,
                     int frame_offset) {
  v1::VisionResultList list;
  for (int k = 0; k < frames; ++k) list.add_vision_results();
  for (const Pass& pass : passes) {
    auto* event = list.mutable_vision_results(pass.frame - 1 - frame_offset)
                      ->add_vision_event();
    event->set_tag(v1::ZONE_EXIT);
    event->set_zone_name("Walkway");
    event->set_zone_direction(pass.backward ? v1::BACKWARD : v1::FORWARD);
  }
  return list.SerializeAsString();
}

// The figures of one direction, and of its windows, as one line each.
std::string Figures(const kestu::tools::PassMatchReport& m) {
  char text[160];
  snprintf(
      text, sizeof(text),
      "%lld/%lld matched %lld P %.3f R %.3f F1 %.3f delay %+.1f worst %lld",
      static_cast<long long>(m.truth_passes()),
      static_cast<long long>(m.run_passes()),
      static_cast<long long>(m.matched()), m.precision(), m.recall(), m.f1(),
      m.mean_delay_frames(), static_cast<long long>(m.worst_delay_frames()));
  return text;
}

std::string Fixed(bool has, double value) {
  char text[32] = "-";
  if (has) snprintf(text, sizeof(text), "%.3f", value);
  return text;
}

std::string Figures(const kestu::tools::CountErrorReport& e) {
  std::string text;
  for (const auto& w : e.window_counts()) {
    text += std::to_string(w.first_frame()) + "-" +
            std::to_string(w.last_frame()) + ":" + std::to_string(w.truth()) +
            "/" + std::to_string(w.run()) + " ";
  }
  return text + "mae " + Fixed(true, e.mean_absolute_error()) + " worst " +
         std::to_string(e.worst_absolute_error()) + "@" +
         std::to_string(e.worst_window()) + " rel " +
         Fixed(e.has_mean_relative_error(), e.mean_relative_error()) + " max " +
         Fixed(e.has_worst_relative_error(), e.worst_relative_error()) +
         " pooled " +
         Fixed(e.has_pooled_relative_error(), e.pooled_relative_error());
}

class PassCommandTest : public ToolCommandTest {
 protected:
  PassCommandTest() : ToolCommandTest(kScore, "kestu-score-pass-") {}

  std::vector<std::string> Args(const std::string& name, int frames,
                                const std::vector<Pass>& truth,
                                const std::vector<Pass>& run,
                                int frame_offset = 0) {
    return {"--detections=" +
                Write(name + ".pb", RunBytes(frames, run, frame_offset)),
            "--truth=" + Write(name + ".txt", TruthText(truth)),
            std::string("--zones=") + kWalkway,
            "--frame_offset=" + std::to_string(frame_offset)};
  }
};

struct PassCase {
  const char* name;
  int frames;
  std::vector<Pass> truth;
  std::vector<Pass> run;
  std::vector<std::string> flags;
  std::string forward;
  std::string windows = "";  // of forward; empty: none asked for
  std::string backward =
      "0/0 matched 0 P 1.000 R 1.000 F1 1.000 delay +0.0 "
      "worst 0";
  int frame_offset = 0;
};

void PrintTo(const PassCase& c, std::ostream* os) { *os << c.name; }

class PassAccuracyTest : public PassCommandTest,
                         public ::testing::WithParamInterface<PassCase> {};

TEST_P(PassAccuracyTest, GivesTheFiguresWorkedOutByHand) {
  const PassCase& c = GetParam();
  std::vector<std::string> args =
      Args(c.name, c.frames, c.truth, c.run, c.frame_offset);
  args.insert(args.end(), c.flags.begin(), c.flags.end());
  args.push_back("--json");
  ASSERT_EQ(Run(args), 0) << err_;
  kestu::tools::ScoreReport report;
  ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(out_, &report).ok())
      << out_;
  ASSERT_EQ(report.pass_matches_size(), 2);
  EXPECT_EQ(report.pass_matches(0).direction(), v1::FORWARD);
  EXPECT_EQ(Figures(report.pass_matches(0)), c.forward);
  EXPECT_EQ(Figures(report.pass_matches(1)), c.backward);
  if (c.windows.empty()) {
    EXPECT_EQ(report.count_errors_size(), 0);
  } else {
    ASSERT_EQ(report.count_errors_size(), 2);
    EXPECT_EQ(Figures(report.count_errors(0)), c.windows);
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Passes, PassAccuracyTest,
    ::testing::Values(
        PassCase{"ThreeFramesLate", 300, {{50}, Back(120)}, {{53}, Back(120)},
                 {}, "1/1 matched 1 P 1.000 R 1.000 F1 1.000 delay +3.0 worst 3",
                 "", "1/1 matched 1 P 1.000 R 1.000 F1 1.000 delay +0.0 worst 0"},
        // 40 frames late: a false pass and a missed one.
        PassCase{"FortyFramesLate", 300, {{50}}, {{90}}, {},
                 "1/1 matched 0 P 0.000 R 0.000 F1 0.000 delay +0.0 worst 0"},
        PassCase{"EarlyAndAtTheTolerance", 300, {{50}, {150}}, {{46}, {175}},
                 {}, "2/2 matched 2 P 1.000 R 1.000 F1 1.000 delay +10.5 worst 25"},
        PassCase{"JustPastTheTolerance", 300, {{50}}, {{76}}, {},
                 "1/1 matched 0 P 0.000 R 0.000 F1 0.000 delay +0.0 worst 0"},
        // F1 = 2 * 0.5 * 1 / 1.5.
        PassCase{"CountedTwice", 300, {{50}}, {{50}, {51}}, {},
                 "1/2 matched 1 P 0.500 R 1.000 F1 0.667 delay +0.0 worst 0"},
        PassCase{"MissedOne", 300, {{50}, {150}}, {{52}}, {},
                 "2/1 matched 1 P 1.000 R 0.500 F1 0.667 delay +2.0 worst 2"},
        PassCase{"WrongDirection", 300, {{50}}, {Back(50)}, {},
                 "1/0 matched 0 P 1.000 R 0.000 F1 0.000 delay +0.0 worst 0",
                 "", "0/1 matched 0 P 0.000 R 1.000 F1 0.000 delay +0.0 worst 0"},
        // Nearest first would pair 100 with 108 and leave 117 and 91.
        PassCase{"NearestFirstWouldLoseAMatch", 300, {{100}, {117}},
                 {{91}, {108}}, {"--pass_tolerance=10"},
                 "2/2 matched 2 P 1.000 R 1.000 F1 1.000 delay -9.0 worst 9"},
        // Counted 5 frames early and 4 late: the nearer is the match.
        PassCase{"CountedEarlyAndLate", 300, {{100}}, {{95}, {104}}, {},
                 "1/2 matched 1 P 0.500 R 1.000 F1 0.667 delay +4.0 worst 4"},
        // Result k is frame k + 11: exits in results 40 and 140.
        PassCase{"FrameOffset", 300, {{51}, {151}}, {{51}, {151}}, {},
                 "2/2 matched 2 P 1.000 R 1.000 F1 1.000 delay +0.0 worst 0",
                 "", PassCase{}.backward, 10},
        // |e| 1, 1, 2; relative 0.5, 1, none.
        PassCase{"HundredFrameWindows", 300, {{50}, {60}, {150}},
                 {{52}, {250}, {251}}, {"--window_frames=100"},
                 "3/3 matched 1 P 0.333 R 0.333 F1 0.333 delay +2.0 worst 2",
                 "1-100:2/1 101-200:1/0 201-300:0/2 mae 1.333 worst 2@2 "
                 "rel 0.750 max 1.000 pooled 1.333"},
        // 7.5 s at 10 frames a second, the last window cut short. One
        // frame late, the pass at 75 is counted in the next window.
        PassCase{"WindowsInSeconds", 200, {{75}, {76}}, {{76}, {77}},
                 {"--window_s=7.5", "--fps=10"},
                 "2/2 matched 2 P 1.000 R 1.000 F1 1.000 delay +1.0 worst 1",
                 "1-75:1/0 76-150:1/2 151-200:0/0 mae 0.667 worst 1@0 "
                 "rel 1.000 max 1.000 pooled 1.000"},
        // One second at 29.97: frame 30 is 0.968 s in, frame 31 1.001 s.
        PassCase{"FractionalWindows", 100, {{30}, {31}, {91}},
                 {{30}, {31}, {91}, {95}}, {"--window_s=1", "--fps=29.97"},
                 "3/4 matched 3 P 0.750 R 1.000 F1 0.857 delay +0.0 worst 0",
                 "1-30:1/1 31-60:1/1 61-90:0/0 91-100:1/2 mae 0.250 worst 1@3 "
                 "rel 0.333 max 1.000 pooled 0.333"},
        // Nobody passes: all error, no relative figure.
        PassCase{"NoTruthPass", 100, {}, {{40}}, {"--window_frames=60"},
                 "0/1 matched 0 P 0.000 R 1.000 F1 0.000 delay +0.0 worst 0",
                 "1-60:0/1 61-100:0/0 mae 0.500 worst 1@0 rel - max - "
                 "pooled -"}),
    [](const ::testing::TestParamInfo<PassCase>& info) {
      return info.param.name;
    });
// clang-format on

TEST_F(PassCommandTest, PrintsTheMatchingAndTheWindowsAsATable) {
  std::vector<std::string> args =
      Args("table", 200, {{50}, {120}, {150}}, {{53}, {150}, {151}, {160}});
  args.insert(args.end(), {"--window_s=10", "--fps=10"});
  ASSERT_EQ(Run(args), 0) << err_;
  for (const char* line : {
           "Pass matching (one to one, at most 25 frames apart)",
           // 50-53 and 150-150 match; 120 is missed, 151 and 160 false.
           "0     Walkway             forward        3     4       2      2"
           "      1     0.500   0.667  0.571    +1.5      3",
           "Count error per window of 100.0 frames (10.0 s)",
           "0     Walkway             forward          2         0     0.500"
           "         1       1     0.250     0.500      0.333",
           "0     Walkway             backward         2         2     0.000"
           "         0       0         -         -          -",
           "0     Walkway             forward         1     10.0-20.0      2"
           "     3    +1   0.500",
       }) {
    EXPECT_NE(out_.find(line), std::string::npos) << line << "\n" << out_;
  }
}

// The most matches, then the least total distance, over every one-to-one
// matching of truth[i...] with `run`, searched exhaustively.
std::pair<int64_t, int64_t> Exhaustive(const std::vector<int64_t>& truth,
                                       const std::vector<int64_t>& run,
                                       size_t i, int64_t tolerance) {
  if (i == truth.size()) return {0, 0};
  auto best = Exhaustive(truth, run, i + 1, tolerance);  // truth[i] alone
  for (size_t j = 0; j < run.size(); ++j) {
    const int64_t d = std::abs(run[j] - truth[i]);
    if (d > tolerance) continue;
    std::vector<int64_t> rest = run;
    rest.erase(rest.begin() + j);
    const auto [matched, distance] = Exhaustive(truth, rest, i + 1, tolerance);
    if (matched + 1 > best.first ||
        (matched + 1 == best.first && distance + d < best.second)) {
      best = {matched + 1, distance + d};
    }
  }
  return best;
}

TEST(MatchPassesTest, AgreesWithAnExhaustiveSearch) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> count(0, 6), frame(1, 80),
      tolerance(0, 15);
  for (int trial = 0; trial < 3000; ++trial) {
    std::vector<int64_t> truth(count(random)), run(count(random));
    for (int64_t& f : truth) f = frame(random);
    for (int64_t& f : run) f = frame(random);
    const int64_t t = tolerance(random);
    const PassMatching got = MatchPasses(truth, run, t);
    const auto want = Exhaustive(truth, run, 0, t);
    ASSERT_EQ(got.matched, want.first) << "trial " << trial;
    ASSERT_EQ(got.total_distance, want.second) << "trial " << trial;
  }
}

}  // namespace
}  // namespace kestu_tools
