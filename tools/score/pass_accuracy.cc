#include "tools/score/pass_accuracy.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;

// The best matching of a prefix of the truth and run passes: the most
// matches first, then the least total distance.
struct Best {
  int64_t matched = 0;
  int64_t distance = 0;
  int64_t delay = 0;
  int64_t worst = 0;
};

bool Better(const Best& a, const Best& b) {
  return a.matched > b.matched ||
         (a.matched == b.matched && a.distance < b.distance);
}

// The optimal matching of one cluster, by rows of the table best[i][j]
// (the first i truth and first j run passes).
Best MatchCluster(const int64_t* truth, size_t n, const int64_t* run, size_t m,
                  int64_t tolerance) {
  std::vector<Best> previous(m + 1), current(m + 1);
  for (size_t i = 1; i <= n; ++i) {
    current[0] = previous[0];
    for (size_t j = 1; j <= m; ++j) {
      current[j] =
          Better(current[j - 1], previous[j]) ? current[j - 1] : previous[j];
      const int64_t delay = run[j - 1] - truth[i - 1];
      if (std::abs(delay) > tolerance) continue;
      Best paired = previous[j - 1];
      ++paired.matched;
      paired.distance += std::abs(delay);
      paired.delay += delay;
      paired.worst = std::max(paired.worst, std::abs(delay));
      if (Better(paired, current[j])) current[j] = paired;
    }
    std::swap(previous, current);
  }
  return previous[m];
}

// Window of frame f (from 1); the margin keeps a frame that starts a
// window exactly, computed with rounding, in it.
int64_t WindowOf(int64_t frame, double window_frames) {
  return static_cast<int64_t>(
      std::floor(static_cast<double>(frame - 1) / window_frames + 1e-6));
}

// The first frame of window w.
int64_t FirstFrameOf(int64_t w, double window_frames) {
  int64_t f = static_cast<int64_t>(std::floor(w * window_frames)) + 1;
  while (f > 1 && WindowOf(f - 1, window_frames) >= w) --f;
  while (WindowOf(f, window_frames) < w) ++f;
  return f;
}

double Ratio(int64_t part, int64_t whole, double if_none) {
  return whole == 0 ? if_none : static_cast<double>(part) / whole;
}

kestu::tools::PassMatchReport MatchReport(const std::vector<int64_t>& truth,
                                          const std::vector<int64_t>& run,
                                          int64_t tolerance) {
  const PassMatching matching = MatchPasses(truth, run, tolerance);
  kestu::tools::PassMatchReport report;
  const int64_t t = static_cast<int64_t>(truth.size());
  const int64_t r = static_cast<int64_t>(run.size());
  report.set_truth_passes(t);
  report.set_run_passes(r);
  report.set_matched(matching.matched);
  report.set_false_passes(r - matching.matched);
  report.set_missed_passes(t - matching.matched);
  const double precision = Ratio(matching.matched, r, 1.0);
  const double recall = Ratio(matching.matched, t, 1.0);
  report.set_precision(precision);
  report.set_recall(recall);
  report.set_f1(precision + recall > 0.0
                    ? 2.0 * precision * recall / (precision + recall)
                    : 0.0);
  if (matching.matched > 0) {
    report.set_mean_delay_frames(static_cast<double>(matching.total_delay) /
                                 matching.matched);
  }
  report.set_worst_delay_frames(matching.worst_distance);
  return report;
}

kestu::tools::CountErrorReport ErrorReport(const std::vector<int64_t>& truth,
                                           const std::vector<int64_t>& run,
                                           double window_frames,
                                           int64_t last_frame) {
  kestu::tools::CountErrorReport report;
  int64_t absolute_sum = 0, truth_sum = 0, with_truth = 0;
  double relative_sum = 0.0, worst_relative = 0.0;
  int64_t index = 0;
  for (const kestu::tools::WindowCount& window :
       CountWindows(truth, run, window_frames, last_frame)) {
    const int64_t absolute = std::abs(window.error());
    absolute_sum += absolute;
    truth_sum += window.truth();
    if (index == 0 || absolute > report.worst_absolute_error()) {
      report.set_worst_absolute_error(absolute);
      report.set_worst_window(index);
    }
    if (window.has_relative_error()) {
      ++with_truth;
      relative_sum += window.relative_error();
      worst_relative = std::max(worst_relative, window.relative_error());
    }
    *report.add_window_counts() = window;
    ++index;
  }
  report.set_windows(index);
  report.set_windows_without_truth(index - with_truth);
  if (index > 0) {
    report.set_mean_absolute_error(static_cast<double>(absolute_sum) / index);
  }
  if (with_truth > 0) {
    report.set_mean_relative_error(relative_sum / with_truth);
    report.set_worst_relative_error(worst_relative);
    report.set_pooled_relative_error(static_cast<double>(absolute_sum) /
                                     truth_sum);
  }
  return report;
}

}  // namespace

PassMatching MatchPasses(std::vector<int64_t> truth, std::vector<int64_t> run,
                         int64_t tolerance) {
  std::sort(truth.begin(), truth.end());
  std::sort(run.begin(), run.end());
  PassMatching total;
  size_t i = 0, j = 0;
  while (i < truth.size() && j < run.size()) {
    // A cluster: passes of both sides, each within the tolerance of the
    // one before it. No pass of it is within the tolerance of another
    // cluster's.
    const size_t i0 = i, j0 = j;
    int64_t last = std::min(truth[i], run[j]);
    while (true) {
      const bool truth_next =
          i < truth.size() && (j == run.size() || truth[i] <= run[j]);
      if (!truth_next && j == run.size()) break;
      const int64_t next = truth_next ? truth[i] : run[j];
      if (i + j > i0 + j0 && next - last > tolerance) break;
      last = next;
      truth_next ? ++i : ++j;
    }
    if (i == i0 || j == j0) continue;  // one side only: no match
    const Best best =
        MatchCluster(&truth[i0], i - i0, &run[j0], j - j0, tolerance);
    total.matched += best.matched;
    total.total_distance += best.distance;
    total.total_delay += best.delay;
    total.worst_distance = std::max(total.worst_distance, best.worst);
  }
  return total;
}

std::vector<kestu::tools::WindowCount> CountWindows(
    const std::vector<int64_t>& truth, const std::vector<int64_t>& run,
    double window_frames, int64_t last_frame) {
  for (const std::vector<int64_t>* passes : {&truth, &run}) {
    for (int64_t f : *passes) last_frame = std::max(last_frame, f);
  }
  std::vector<kestu::tools::WindowCount> windows;
  if (last_frame < 1 || !(window_frames > 0.0)) return windows;
  const int64_t count = WindowOf(last_frame, window_frames) + 1;
  windows.resize(static_cast<size_t>(count));
  for (int64_t w = 0; w < count; ++w) {
    windows[w].set_first_frame(FirstFrameOf(w, window_frames));
    windows[w].set_last_frame(
        w + 1 < count ? FirstFrameOf(w + 1, window_frames) - 1 : last_frame);
  }
  for (int64_t f : truth) {
    auto& window = windows[WindowOf(f, window_frames)];
    window.set_truth(window.truth() + 1);
  }
  for (int64_t f : run) {
    auto& window = windows[WindowOf(f, window_frames)];
    window.set_run(window.run() + 1);
  }
  for (auto& window : windows) {
    window.set_error(window.run() - window.truth());
    if (window.truth() > 0) {
      window.set_relative_error(static_cast<double>(std::abs(window.error())) /
                                window.truth());
    }
  }
  return windows;
}

void AddPassAccuracy(const ZonePasses& passes, int64_t last_frame,
                     kestu::tools::ScoreReport* report) {
  const std::vector<kestu::tools::ZonePassReport> zones = passes.Report();
  for (size_t z = 0; z < zones.size(); ++z) {
    const ZonePasses::PassFrames& frames = passes.frames()[z];
    for (int d = 0; d < 2; ++d) {
      const v1::ZoneDirection direction = d == 0 ? v1::FORWARD : v1::BACKWARD;
      kestu::tools::PassMatchReport match = MatchReport(
          frames.truth[d], frames.run[d], report->pass_tolerance_frames());
      match.set_zone_id(zones[z].zone_id());
      match.set_zone_name(zones[z].zone_name());
      match.set_direction(direction);
      *report->add_pass_matches() = match;
      if (!(report->window_frames() > 0.0)) continue;
      kestu::tools::CountErrorReport error = ErrorReport(
          frames.truth[d], frames.run[d], report->window_frames(), last_frame);
      error.set_zone_id(zones[z].zone_id());
      error.set_zone_name(zones[z].zone_name());
      error.set_direction(direction);
      *report->add_count_errors() = error;
    }
  }
}

}  // namespace kestu_tools
