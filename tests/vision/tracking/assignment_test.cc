#include "vision/tracking/assignment.h"

#include <algorithm>
#include <numeric>
#include <random>

#include <gtest/gtest.h>

namespace talvenrook_vision {
namespace {

cv::Mat Costs(int rows, int cols, std::initializer_list<double> values) {
  cv::Mat m(rows, cols, CV_64F);
  std::copy(values.begin(), values.end(), m.begin<double>());
  return m;
}

double Total(const cv::Mat& cost, const std::vector<int>& column) {
  double total = 0.0;
  for (int i = 0; i < cost.rows; ++i) {
    if (column[i] >= 0) total += cost.at<double>(i, column[i]);
  }
  return total;
}

// The least total over every way of pairing min(rows, cols) rows and
// columns one to one.
double BruteForceBest(const cv::Mat& cost) {
  const bool wide = cost.rows <= cost.cols;
  const cv::Mat c = wide ? cost : cost.t();
  std::vector<int> columns(c.cols);
  std::iota(columns.begin(), columns.end(), 0);
  double best = std::numeric_limits<double>::infinity();
  do {
    double total = 0.0;
    for (int i = 0; i < c.rows; ++i) total += c.at<double>(i, columns[i]);
    best = std::min(best, total);
  } while (std::next_permutation(columns.begin(), columns.end()));
  return best;
}

struct AssignmentCase {
  const char* name;
  cv::Mat cost;
  std::vector<int> expected;
};

class AssignmentTableTest : public ::testing::TestWithParam<AssignmentCase> {};

TEST_P(AssignmentTableTest, GivesTheCheapestPairing) {
  EXPECT_EQ(SolveAssignment(GetParam().cost), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AssignmentTableTest,
    ::testing::Values(
        AssignmentCase{"Crossed", Costs(2, 2, {4, 1, 2, 3}), {1, 0}},
        // Greedy would take the 1 and leave 10: the optimum is 2 + 3.
        AssignmentCase{"NotGreedy", Costs(2, 2, {1, 2, 3, 10}), {1, 0}},
        AssignmentCase{"MoreColumns", Costs(2, 3, {5, 5, 1, 1, 5, 5}), {2, 0}},
        AssignmentCase{"MoreRows", Costs(3, 2, {5, 1, 1, 5, 3, 3}), {1, 0, -1}},
        AssignmentCase{"Empty", cv::Mat(0, 3, CV_64F), {}},
        AssignmentCase{"NoColumns", cv::Mat(2, 0, CV_64F), {-1, -1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AssignmentTest, MatchesBruteForceOnRandomMatrices) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> value(0.0, 1.0);
  for (int trial = 0; trial < 300; ++trial) {
    const int rows = 1 + trial % 6;
    const int cols = 1 + (trial / 6) % 6;
    cv::Mat cost(rows, cols, CV_64F);
    for (auto it = cost.begin<double>(); it != cost.end<double>(); ++it) {
      // Ties are common in IoU costs: a third of the entries are 1.
      *it = trial % 3 == 0 && value(random) < 0.33 ? 1.0 : value(random);
    }
    const std::vector<int> column = SolveAssignment(cost);
    ASSERT_EQ(static_cast<int>(column.size()), rows);
    std::vector<int> used;
    for (int c : column) {
      if (c >= 0) used.push_back(c);
    }
    std::sort(used.begin(), used.end());
    EXPECT_EQ(std::adjacent_find(used.begin(), used.end()), used.end());
    EXPECT_EQ(static_cast<int>(used.size()), std::min(rows, cols));
    EXPECT_NEAR(Total(cost, column), BruteForceBest(cost), 1e-9)
        << rows << " x " << cols << " trial " << trial;
  }
}

TEST(AssignmentTest, PairsAtOrAboveTheLimitAreDropped) {
  // Row 1 can only pair with a column at the limit: it stays unpaired, and
  // the sentinel does not pull row 0 off its best column.
  const cv::Mat cost = Costs(2, 2, {0.2, 0.9, 1e30, 1.0});
  EXPECT_EQ(AssignBelow(cost, 1.0), (std::vector<int>{0, -1}));
}

}  // namespace
}  // namespace talvenrook_vision
