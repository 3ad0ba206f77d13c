#include "vision/face/detect/pico_engine.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace talvenrook_vision {
namespace {

// Each frame's counts shrink by this factor before the kept clusters add
// theirs, so that sizes not seen for a while leave the range.
constexpr double kCountDecay = 0.98;
// Counts below this (about 35 frames after the last sighting of a single
// face) no longer hold a size in the range.
constexpr double kMinCount = 0.5;

double Overlap(const cv::Rect& a, const cv::Rect& b) {
  const double smaller = std::min(a.area(), b.area());
  if (smaller <= 0) return 0.0;
  return (a & b).area() / smaller;
}

}  // namespace

void PicoEngine::Configure(const Entity& config) {
  Parameters p;
  ReadPropertyIfPresent(config, "detector_optimize_scales", &p.optimize_scales);
  ReadPropertyIfPresent(config, "detector_min_scale", &p.min_scale);
  ReadPropertyIfPresent(config, "detector_max_scale", &p.max_scale);
  ReadPropertyIfPresent(config, "detector_number_of_scale",
                        &p.number_of_scales);
  ReadPropertyIfPresent(config, "detector_stride_factor", &p.stride_factor);
  ReadPropertyIfPresent(config, "detector_qcutoff", &p.qcutoff);
  Configure(p);
}

void PicoEngine::Configure(const Parameters& parameters) {
  parameters_ = parameters;
  scales_ = ScaleList(parameters_.min_scale, parameters_.max_scale,
                      parameters_.number_of_scales);
  scale_counts_.assign(scales_.size(), 0.0);
  active_.clear();
  active_indexes_.clear();
}

std::vector<int32_t> PicoEngine::ScaleList(int32_t min_scale, int32_t max_scale,
                                           int32_t count) {
  std::vector<int32_t> sizes;
  if (count < 1) return sizes;
  min_scale = std::max(1, min_scale);
  max_scale = std::max(min_scale, max_scale);
  sizes.assign(static_cast<size_t>(count), min_scale);
  if (count == 1) return sizes;
  const float factor = std::pow(static_cast<float>(max_scale) / min_scale,
                                1.0f / static_cast<float>(count - 1));
  float product = static_cast<float>(min_scale);
  for (int32_t i = count - 2; i >= 0; --i) {
    product *= factor;
    sizes[static_cast<size_t>(i)] = static_cast<int32_t>(product);
  }
  return sizes;
}

void PicoEngine::ChooseActiveScales(bool full_scan) {
  active_.clear();
  active_indexes_.clear();
  const double peak =
      scale_counts_.empty()
          ? 0.0
          : *std::max_element(scale_counts_.begin(), scale_counts_.end());
  if (!parameters_.optimize_scales || full_scan || peak < kMinCount) {
    active_ = scales_;
    for (size_t i = 0; i < scales_.size(); ++i)
      active_indexes_.push_back(static_cast<int32_t>(i));
    return;
  }
  // Sizes are largest first: the range runs from the first to the last
  // index that still counts, widened by one index on each side.
  int32_t first = -1, last = -1;
  for (size_t i = 0; i < scale_counts_.size(); ++i) {
    if (scale_counts_[i] < kMinCount) continue;
    if (first < 0) first = static_cast<int32_t>(i);
    last = static_cast<int32_t>(i);
  }
  first = std::max(0, first - 1);
  last = std::min(static_cast<int32_t>(scales_.size()) - 1, last + 1);
  const int32_t hi = scales_[first];
  const int32_t lo = scales_[last];
  const double spacing = std::min(lo / 5.0, 10.0);
  for (int32_t i = first; i <= last; ++i) {
    const int32_t size = scales_[i];
    if (size < lo || size > hi) continue;
    const bool far_enough = std::all_of(
        active_.begin(), active_.end(),
        [&](int32_t taken) { return std::abs(taken - size) >= spacing; });
    if (!far_enough) continue;
    active_.push_back(size);
    active_indexes_.push_back(i);
  }
}

const std::vector<PicoDetection>& PicoEngine::Detect(
    const cv::Mat& grey, const std::vector<cv::Rect>& regions, bool full_scan) {
  candidates_.clear();
  detections_.clear();
  windows_ = 0;
  if (grey.empty() || cascades_.empty() || scales_.empty()) return detections_;
  ChooseActiveScales(full_scan);
  const cv::Rect frame(0, 0, grey.cols, grey.rows);
  for (const PicoCascade& cascade : cascades_) {
    if (cascade.empty()) continue;
    for (int32_t index : active_indexes_) {
      for (const cv::Rect& region : regions) {
        const cv::Rect clipped = region & frame;
        if (clipped.empty()) continue;
        Scan(grey, clipped, index, cascade);
      }
    }
  }
  Cluster(candidates_, &detections_);
  detections_.erase(
      std::remove_if(detections_.begin(), detections_.end(),
                     [&](const PicoDetection& d) {
                       return d.score < static_cast<float>(parameters_.qcutoff);
                     }),
      detections_.end());
  if (parameters_.optimize_scales) UpdateStatistics();
  return detections_;
}

void PicoEngine::Scan(const cv::Mat& grey, const cv::Rect& region,
                      int32_t scale_index, const PicoCascade& cascade) {
  const int32_t size = scales_[scale_index];
  const float step =
      std::max(1.0f, static_cast<float>(size * parameters_.stride_factor));
  const int width = static_cast<int>(size * cascade.width_ratio());
  const int height = static_cast<int>(size * cascade.height_ratio());
  const float row_end = static_cast<float>(region.y + region.height);
  const float column_end = static_cast<float>(region.x + region.width);
  for (float row = static_cast<float>(region.y); row < row_end; row += step) {
    for (float column = static_cast<float>(region.x); column < column_end;
         column += step) {
      ++windows_;
      float score = 0.0f;
      const int r = static_cast<int>(row);
      const int c = static_cast<int>(column);
      if (!cascade.Evaluate(grey, r, c, size, &score)) continue;
      PicoDetection d;
      d.box = cv::Rect(c - width / 2, r - height / 2, width, height);
      d.score = score;
      d.scale_index = parameters_.optimize_scales ? scale_index : -1;
      candidates_.push_back(d);
    }
  }
}

void PicoEngine::Cluster(const std::vector<PicoDetection>& candidates,
                         std::vector<PicoDetection>* clusters) {
  clusters->clear();
  const size_t n = candidates.size();
  std::vector<char> assigned(n, 0);
  std::vector<size_t> members;
  for (size_t seed = 0; seed < n; ++seed) {
    if (assigned[seed]) continue;
    members.clear();
    members.push_back(seed);
    assigned[seed] = 1;
    // Grows transitively: every member pulls in its unassigned neighbours.
    for (size_t k = 0; k < members.size(); ++k) {
      const cv::Rect& member = candidates[members[k]].box;
      for (size_t j = 0; j < n; ++j) {
        if (assigned[j]) continue;
        if (Overlap(member, candidates[j].box) > kClusterOverlap) {
          assigned[j] = 1;
          members.push_back(j);
        }
      }
    }
    double x = 0, y = 0, w = 0, h = 0;
    PicoDetection out;
    float best = -std::numeric_limits<float>::infinity();
    for (size_t m : members) {
      const PicoDetection& c = candidates[m];
      x += c.box.x;
      y += c.box.y;
      w += c.box.width;
      h += c.box.height;
      out.score += c.score;
      if (c.score > best) {
        best = c.score;
        out.scale_index = c.scale_index;
      }
    }
    const double count = static_cast<double>(members.size());
    out.box =
        cv::Rect(static_cast<int>(x / count), static_cast<int>(y / count),
                 static_cast<int>(w / count), static_cast<int>(h / count));
    clusters->push_back(out);
  }
}

void PicoEngine::UpdateStatistics() {
  for (double& count : scale_counts_) count *= kCountDecay;
  for (const PicoDetection& d : detections_) {
    if (d.scale_index >= 0 &&
        static_cast<size_t>(d.scale_index) < scale_counts_.size()) {
      scale_counts_[d.scale_index] += 1.0;
    }
  }
}

}  // namespace talvenrook_vision
