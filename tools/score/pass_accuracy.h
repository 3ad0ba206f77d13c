// How wrong the counts are: the truth's passes through each zone beside the
// run's published ZONE_EXIT events, pass by pass and window by window.
//
// Pass matching, per zone and direction: a truth pass and a run pass can
// match when their frames are at most `tolerance` apart; each pass matches
// at most one other. The matching is optimal: the most matches, and among
// those the least total frame distance. Matching nearest pairs first can
// lose a match (truth 0 and 17, run -9 and 8, tolerance 10: pairing 0-8
// first leaves 17 alone, while 0 with -9 and 17 with 8 match both). Since
// an optimal matching never needs two pairs that cross in time, it is found
// exactly by a dynamic programme over the passes in frame order, run on
// each cluster of passes that lie within the tolerance of one another
// (work: the product of a cluster's truth and run passes).
//
// Count error: the frames from 1 to the last are cut into windows of
// `window_frames` frames (a fraction allowed, as 60 s at 29.97 frames per
// second gives; frame f is in window floor((f - 1) / window_frames)); per
// window, truth and run passes are counted and compared. The last window
// may be shorter. Windows without a truth pass count in the absolute
// figures (a run pass there is all error) but have no relative error.
#ifndef TOOLS_SCORE_PASS_ACCURACY_H_
#define TOOLS_SCORE_PASS_ACCURACY_H_

#include <cstdint>
#include <vector>

#include "kestu_tools.pb.h"
#include "tools/score/zone_passes.h"

namespace kestu_tools {

// The most matches of truth and run frames at most `tolerance` apart, one
// to one, with the least total distance among them. Inputs in any order.
struct PassMatching {
  int64_t matched = 0;
  int64_t total_distance = 0;  // sum of |run - truth| over the matches
  int64_t total_delay = 0;     // sum of run - truth over the matches
  int64_t worst_distance = 0;  // largest |run - truth| of a match
};
PassMatching MatchPasses(std::vector<int64_t> truth, std::vector<int64_t> run,
                         int64_t tolerance);

// Truth and run passes per window of frames 1 to last_frame (raised to the
// last pass when one comes later), with each window's error.
std::vector<kestu::tools::WindowCount> CountWindows(
    const std::vector<int64_t>& truth, const std::vector<int64_t>& run,
    double window_frames, int64_t last_frame);

// Adds the pass matching (always) and, when report->window_frames() is
// positive, the count errors over frames 1 to last_frame, for every zone
// and direction of `passes` (which has counted truth and run). The report's
// pass_tolerance_frames and window_frames are read from it.
void AddPassAccuracy(const ZonePasses& passes, int64_t last_frame,
                     kestu::tools::ScoreReport* report);

}  // namespace kestu_tools

#endif  // TOOLS_SCORE_PASS_ACCURACY_H_
