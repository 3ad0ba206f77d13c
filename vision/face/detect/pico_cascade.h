// PicoCascade: a cascade of pixel-comparison decision trees in the published
// pico layout, and its evaluation at one window.
//
// Layout (little-endian): window height ratio and width ratio (two floats;
// a value that is not a plausible proportion, from 0.1 to 10, reads as 1:
// the published face cascade keeps other data there),
// tree depth d and tree count T (two 32-bit integers), then per tree its
// 2^d - 1 internal nodes (four signed bytes each: row 1, column 1, row 2,
// column 2, relative to the window, in 1/256 of its size), its 2^d leaf
// values (floats) and its threshold (float). Node 0 of every tree holds
// zeros; nodes are numbered from 1.
//
// Evaluation at (row, column, size): in fixed point (x256); the window must
// fit the image (nodes included); every tree descends d levels, going right
// when the first pixel is not greater than the second, adds its leaf value,
// and the window fails as soon as the sum is at or below the tree's
// threshold. The score is the sum minus the last tree's threshold.
#ifndef VISION_FACE_DETECT_PICO_CASCADE_H_
#define VISION_FACE_DETECT_PICO_CASCADE_H_

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace talvenrook_vision {

class PicoCascade {
 public:
  // Deepest tree accepted (a deeper one is refused as malformed).
  static constexpr int32_t kMaxDepth = 16;

  // Replaces the cascade with the one in `bytes`. False, after an "ERROR: "
  // line, for a short, oversized or inconsistent cascade (the cascade is
  // then empty).
  bool Load(const std::string& bytes);
  // t -> t - |t| x shift for every tree threshold (no change for 0).
  void ShiftThresholds(double shift);
  // Rotates every node by `radians` in 16.16 fixed point, each coordinate
  // truncated towards zero.
  void Rotate(double radians);

  // False when the window does not fit or a tree rejects it; the score of
  // a passing window in *score.
  bool Evaluate(const cv::Mat& grey, int row, int column, int size,
                float* score) const;

  bool empty() const { return tree_count_ == 0; }
  float height_ratio() const { return height_ratio_; }
  float width_ratio() const { return width_ratio_; }
  int32_t depth() const { return depth_; }
  int32_t tree_count() const { return tree_count_; }
  // Largest absolute row / column offset over all nodes.
  int32_t max_row_offset() const { return max_row_; }
  int32_t max_column_offset() const { return max_column_; }
  // Node n (0 .. 2^d - 1) of tree t: (r1, c1, r2, c2).
  cv::Vec4i Node(int32_t tree, int32_t node) const;
  float Threshold(int32_t tree) const { return thresholds_[tree]; }
  float Leaf(int32_t tree, int32_t leaf) const;

 private:
  void Clear();
  void RecordExtents();

  float height_ratio_ = 1.0f;
  float width_ratio_ = 1.0f;
  int32_t depth_ = 0;
  int32_t tree_count_ = 0;
  int32_t leaves_per_tree_ = 0;  // 2^d
  // Per tree 2^d nodes of four offsets; node 0 is zeros.
  std::vector<int32_t> nodes_;
  std::vector<float> leaves_;
  std::vector<float> thresholds_;
  int32_t max_row_ = 0;
  int32_t max_column_ = 0;
  int64_t row_reach_ = 128;  // set by RecordExtents
  int64_t column_reach_ = 128;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_DETECT_PICO_CASCADE_H_
