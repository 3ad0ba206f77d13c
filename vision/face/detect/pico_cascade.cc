#include "vision/face/detect/pico_cascade.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include "absl/strings/str_cat.h"
#include "vision/config/setup_notes.h"

namespace talvenrook_vision {
namespace {

// Reads little-endian values from a byte string; every read past the end
// fails and leaves the reader failed.
class ByteReader {
 public:
  explicit ByteReader(const std::string& bytes) : bytes_(bytes) {}

  template <typename T>
  bool Read(T* value) {
    if (failed_ || bytes_.size() - offset_ < sizeof(T)) {
      failed_ = true;
      return false;
    }
    std::memcpy(value, bytes_.data() + offset_, sizeof(T));
    offset_ += sizeof(T);
    return true;
  }
  size_t remaining() const { return bytes_.size() - offset_; }

 private:
  const std::string& bytes_;
  size_t offset_ = 0;
  bool failed_ = false;
};

int32_t RotateCoordinate(int64_t a, int64_t b, int64_t p, int64_t q) {
  // (p·a + q·b) / 65536, truncated towards zero (C++ integer division).
  return static_cast<int32_t>((p * a + q * b) / 65536);
}

// The published face cascade keeps a version number and its training box
// in the two ratio fields (they read as a tiny number and NaN): a ratio
// that is not a plausible window proportion means a square window.
float UsableRatio(float ratio) {
  return std::isfinite(ratio) && ratio >= 0.1f && ratio <= 10.0f ? ratio : 1.0f;
}

}  // namespace

void PicoCascade::Clear() {
  depth_ = 0;
  tree_count_ = 0;
  leaves_per_tree_ = 0;
  nodes_.clear();
  leaves_.clear();
  thresholds_.clear();
  max_row_ = 0;
  max_column_ = 0;
  row_reach_ = 128;
  column_reach_ = 128;
}

bool PicoCascade::Load(const std::string& bytes) {
  Clear();
  ByteReader in(bytes);
  float height_ratio = 0.0f, width_ratio = 0.0f;
  int32_t depth = 0, trees = 0;
  if (!in.Read(&height_ratio) || !in.Read(&width_ratio) || !in.Read(&depth) ||
      !in.Read(&trees)) {
    NoteError("Pico cascade header is incomplete");
    return false;
  }
  if (depth < 1 || depth > kMaxDepth || trees < 1) {
    NoteError(absl::StrCat("Pico cascade has depth ", depth, " and ", trees,
                           " trees"));
    return false;
  }
  const int64_t leaves = int64_t{1} << depth;
  const int64_t tree_bytes = 4 * (leaves - 1) + 4 * leaves + 4;
  // Refused before anything is allocated: the tables must fill the rest of
  // the bytes exactly.
  if (static_cast<int64_t>(in.remaining()) != tree_bytes * trees) {
    NoteError(absl::StrCat("Pico cascade tables hold ", in.remaining(),
                           " bytes where ", trees, " trees of depth ", depth,
                           " need ", tree_bytes * trees));
    return false;
  }
  nodes_.assign(static_cast<size_t>(trees * leaves * 4), 0);
  leaves_.resize(static_cast<size_t>(trees * leaves));
  thresholds_.resize(static_cast<size_t>(trees));
  for (int64_t t = 0; t < trees; ++t) {
    int32_t* tree_nodes = nodes_.data() + t * leaves * 4;
    for (int64_t n = 1; n < leaves; ++n) {
      for (int k = 0; k < 4; ++k) {
        int8_t code = 0;
        in.Read(&code);
        tree_nodes[n * 4 + k] = code;
      }
    }
    for (int64_t l = 0; l < leaves; ++l) in.Read(&leaves_[t * leaves + l]);
    in.Read(&thresholds_[t]);
  }
  height_ratio_ = UsableRatio(height_ratio);
  width_ratio_ = UsableRatio(width_ratio);
  depth_ = depth;
  tree_count_ = trees;
  leaves_per_tree_ = static_cast<int32_t>(leaves);
  RecordExtents();
  return true;
}

void PicoCascade::ShiftThresholds(double shift) {
  if (shift == 0.0) return;
  for (float& t : thresholds_) {
    t = static_cast<float>(t - std::fabs(t) * shift);
  }
}

void PicoCascade::Rotate(double radians) {
  const int64_t u = static_cast<int64_t>(std::sin(radians) * 65536.0);
  const int64_t v = static_cast<int64_t>(std::cos(radians) * 65536.0);
  for (size_t i = 0; i + 3 < nodes_.size(); i += 4) {
    const int64_t r1 = nodes_[i], c1 = nodes_[i + 1];
    const int64_t r2 = nodes_[i + 2], c2 = nodes_[i + 3];
    nodes_[i] = RotateCoordinate(r1, c1, v, -u);
    nodes_[i + 1] = RotateCoordinate(r1, c1, u, v);
    nodes_[i + 2] = RotateCoordinate(r2, c2, v, -u);
    nodes_[i + 3] = RotateCoordinate(r2, c2, u, v);
  }
  RecordExtents();
}

void PicoCascade::RecordExtents() {
  max_row_ = 0;
  max_column_ = 0;
  for (size_t i = 0; i + 3 < nodes_.size(); i += 4) {
    max_row_ =
        std::max({max_row_, std::abs(nodes_[i]), std::abs(nodes_[i + 2])});
    max_column_ = std::max(
        {max_column_, std::abs(nodes_[i + 1]), std::abs(nodes_[i + 3])});
  }
  // How far (in 1/256 of the window size) a window and its node offsets
  // reach from the window's centre.
  row_reach_ = std::max<int64_t>(
      std::max<int64_t>(128, max_row_),
      static_cast<int64_t>(128 * std::max(1.0f, height_ratio_)));
  column_reach_ = std::max<int64_t>(
      std::max<int64_t>(128, max_column_),
      static_cast<int64_t>(128 * std::max(1.0f, width_ratio_)));
}

cv::Vec4i PicoCascade::Node(int32_t tree, int32_t node) const {
  const size_t i = (static_cast<size_t>(tree) * leaves_per_tree_ + node) * 4;
  return cv::Vec4i(nodes_[i], nodes_[i + 1], nodes_[i + 2], nodes_[i + 3]);
}

float PicoCascade::Leaf(int32_t tree, int32_t leaf) const {
  return leaves_[static_cast<size_t>(tree) * leaves_per_tree_ + leaf];
}

bool PicoCascade::Evaluate(const cv::Mat& grey, int row, int column, int size,
                           float* score) const {
  if (tree_count_ == 0 || grey.empty() || size < 1) return false;
  const int64_t r = static_cast<int64_t>(row) * 256;
  const int64_t c = static_cast<int64_t>(column) * 256;
  const int64_t s = size;
  // The window (half a window is 128/256 of its size) and every node
  // offset must stay inside the image.
  const int64_t row_reach = row_reach_;
  const int64_t column_reach = column_reach_;
  if (r - row_reach * s < 0 || (r + row_reach * s) / 256 >= grey.rows ||
      c - column_reach * s < 0 || (c + column_reach * s) / 256 >= grey.cols) {
    return false;
  }
  const uchar* pixels = grey.data;
  const size_t step = grey.step[0];
  const int32_t leaves = leaves_per_tree_;
  float sum = 0.0f;
  for (int32_t t = 0; t < tree_count_; ++t) {
    const int32_t* tree = nodes_.data() + static_cast<size_t>(t) * leaves * 4;
    int32_t index = 1;
    for (int32_t level = 0; level < depth_; ++level) {
      const int32_t* n = tree + index * 4;
      const uchar p1 =
          pixels[((r + n[0] * s) / 256) * step + (c + n[1] * s) / 256];
      const uchar p2 =
          pixels[((r + n[2] * s) / 256) * step + (c + n[3] * s) / 256];
      index = 2 * index + (p1 <= p2 ? 1 : 0);
    }
    sum += leaves_[static_cast<size_t>(t) * leaves + (index - leaves)];
    if (sum <= thresholds_[t]) return false;
  }
  *score = sum - thresholds_[tree_count_ - 1];
  return true;
}

}  // namespace talvenrook_vision
