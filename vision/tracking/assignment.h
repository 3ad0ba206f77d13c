// Optimal one-to-one assignment of rows to columns (the Hungarian method
// with potentials, O(n^2 m) for n <= m).
//
// The tracker's IoU association and the scoring tools use it to pair
// detections with tracks, or results with ground truth, at the least total
// cost. Pairs that must never be made are given a cost above a caller's
// threshold and dropped from the answer afterwards (see AssignBelow).
//
// Example: cost {{4, 1}, {2, 3}} assigns row 0 to column 1 and row 1 to
// column 0 (total 3).
#ifndef VISION_TRACKING_ASSIGNMENT_H_
#define VISION_TRACKING_ASSIGNMENT_H_

#include <vector>

#include <opencv2/core.hpp>

namespace talvenrook_vision {

// For each row of `cost` (CV_64F, rows x cols, finite values), the column
// assigned to it, or -1 for rows left over when there are more rows than
// columns. The total cost of the assigned pairs is the least possible.
std::vector<int> SolveAssignment(const cv::Mat& cost);

// As SolveAssignment, then drops every pair whose cost is not strictly below
// `limit` (its row gets -1). Entries at or above the limit therefore never
// pair, and they are clamped to the limit before solving, so that a huge
// sentinel value cannot swamp the other costs.
std::vector<int> AssignBelow(const cv::Mat& cost, double limit);

}  // namespace talvenrook_vision

#endif  // VISION_TRACKING_ASSIGNMENT_H_
