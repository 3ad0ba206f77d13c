#include "vision/tracking/assignment.h"

#include <algorithm>
#include <limits>

namespace talvenrook_vision {
namespace {

// Rows n <= columns m. a(i, j) is the cost of row i (0-based) to column j.
// Returns the column of each row.
template <typename CostAt>
std::vector<int> SolveWide(int n, int m, CostAt a) {
  const double kInf = std::numeric_limits<double>::infinity();
  // 1-based potentials and matching as in the textbook formulation; column 0
  // is the virtual start of each augmenting path.
  std::vector<double> u(n + 1, 0.0), v(m + 1, 0.0), min_to(m + 1);
  std::vector<int> row_of(m + 1, 0), way(m + 1, 0);
  std::vector<char> used(m + 1);
  for (int i = 1; i <= n; ++i) {
    row_of[0] = i;
    int j0 = 0;
    std::fill(min_to.begin(), min_to.end(), kInf);
    std::fill(used.begin(), used.end(), 0);
    do {
      used[j0] = 1;
      const int i0 = row_of[j0];
      double delta = kInf;
      int j1 = 0;
      for (int j = 1; j <= m; ++j) {
        if (used[j]) continue;
        const double cur = a(i0 - 1, j - 1) - u[i0] - v[j];
        if (cur < min_to[j]) {
          min_to[j] = cur;
          way[j] = j0;
        }
        if (min_to[j] < delta) {
          delta = min_to[j];
          j1 = j;
        }
      }
      for (int j = 0; j <= m; ++j) {
        if (used[j]) {
          u[row_of[j]] += delta;
          v[j] -= delta;
        } else {
          min_to[j] -= delta;
        }
      }
      j0 = j1;
    } while (row_of[j0] != 0);
    do {
      const int j1 = way[j0];
      row_of[j0] = row_of[j1];
      j0 = j1;
    } while (j0 != 0);
  }
  std::vector<int> column(n, -1);
  for (int j = 1; j <= m; ++j) {
    if (row_of[j] != 0) column[row_of[j] - 1] = j - 1;
  }
  return column;
}

}  // namespace

std::vector<int> SolveAssignment(const cv::Mat& cost) {
  CV_Assert(cost.empty() || cost.type() == CV_64F);
  const int rows = cost.rows;
  const int cols = cost.cols;
  if (rows == 0 || cols == 0) return std::vector<int>(rows, -1);
  if (rows <= cols) {
    return SolveWide(rows, cols,
                     [&](int i, int j) { return cost.at<double>(i, j); });
  }
  // More rows than columns: solve the transpose and invert the answer.
  const std::vector<int> row_of_column = SolveWide(
      cols, rows, [&](int i, int j) { return cost.at<double>(j, i); });
  std::vector<int> column(rows, -1);
  for (int j = 0; j < cols; ++j) {
    if (row_of_column[j] >= 0) column[row_of_column[j]] = j;
  }
  return column;
}

std::vector<int> AssignBelow(const cv::Mat& cost, double limit) {
  cv::Mat clamped = cv::min(cost, limit);
  std::vector<int> column = SolveAssignment(clamped);
  for (int i = 0; i < cost.rows; ++i) {
    if (column[i] >= 0 && !(cost.at<double>(i, column[i]) < limit)) {
      column[i] = -1;
    }
  }
  return column;
}

}  // namespace talvenrook_vision
