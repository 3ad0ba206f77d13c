#include "tools/score/mot_metrics.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <unordered_map>

#include "vision/tracking/assignment.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;

// Splits one line at commas (spaces around fields allowed) into numbers;
// false when a field is not a finite number.
bool ParseFields(const std::string& line, std::vector<double>* fields) {
  fields->clear();
  std::stringstream stream(line);
  std::string field;
  while (std::getline(stream, field, ',')) {
    const char* begin = field.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(begin, &end);
    while (end != nullptr && (*end == ' ' || *end == '\t' || *end == '\r')) {
      ++end;
    }
    if (end == begin || *end != '\0' || errno == ERANGE ||
        !std::isfinite(value)) {
      return false;
    }
    fields->push_back(value);
  }
  return true;
}

// Exactly representable whole numbers: every identity a file can name.
constexpr double kMaxIdentity = 9007199254740992.0;  // 2^53

// IoU at least the threshold; the margin keeps an IoU of exactly the
// threshold, computed with rounding, on the admitted side.
constexpr double kIouMargin = 1e-9;

bool Overlaps(const cv::Rect2d& a, const cv::Rect2d& b, double iou_threshold) {
  return Iou(a, b) >= iou_threshold - kIouMargin;
}

bool Blank(const std::string& line) {
  return line.find_first_not_of(" \t\r") == std::string::npos;
}

// Results assigned (IoU >= threshold, least total 1 - IoU) to a truth box
// of the frame: column index per result, -1 when unassigned.
std::vector<int> AssignByIou(const std::vector<MotBox>& results,
                             const std::vector<MotBox>& truth,
                             double iou_threshold) {
  if (results.empty() || truth.empty()) {
    return std::vector<int>(results.size(), -1);
  }
  cv::Mat cost(static_cast<int>(results.size()), static_cast<int>(truth.size()),
               CV_64F);
  for (size_t r = 0; r < results.size(); ++r) {
    for (size_t t = 0; t < truth.size(); ++t) {
      cost.at<double>(static_cast<int>(r), static_cast<int>(t)) =
          1.0 - Iou(results[r].box, truth[t].box);
    }
  }
  // IoU >= threshold is cost <= 1 - threshold (AssignBelow keeps costs
  // strictly below its limit; the margin admits the threshold itself).
  return talvenrook_vision::AssignBelow(cost,
                                        1.0 - iou_threshold + 2 * kIouMargin);
}

// Drops, frame by frame, the results that pair with an ignored truth box,
// and the ignored truth boxes themselves.
void SetIgnoredAside(const MotFrames& truth, const MotFrames& results,
                     const ScoreOptions& options, MotFrames* kept_truth,
                     MotFrames* kept_results) {
  const size_t frames = std::max(truth.size(), results.size());
  kept_truth->assign(frames, {});
  kept_results->assign(frames, {});
  static const std::vector<MotBox> kNone;
  for (size_t f = 0; f < frames; ++f) {
    const std::vector<MotBox>& t = f < truth.size() ? truth[f] : kNone;
    const std::vector<MotBox>& r = f < results.size() ? results[f] : kNone;
    auto ignored = [&](const MotBox& b) {
      return options.ignore_zero_confidence && b.zero_confidence;
    };
    const bool any_ignored = std::any_of(t.begin(), t.end(), ignored);
    std::vector<int> pair;
    if (any_ignored) pair = AssignByIou(r, t, options.iou_threshold);
    for (size_t k = 0; k < r.size(); ++k) {
      if (any_ignored && pair[k] >= 0 && ignored(t[pair[k]])) continue;
      (*kept_results)[f].push_back(r[k]);
    }
    for (const MotBox& b : t) {
      if (!ignored(b)) (*kept_truth)[f].push_back(b);
    }
  }
}

ClearMot ScoreClear(const MotFrames& truth, const MotFrames& results,
                    double iou_threshold) {
  ClearMot m;
  std::unordered_map<int64_t, int64_t> previous;  // truth id -> result id
  std::unordered_map<int64_t, int64_t> last;      // last match ever
  double iou_sum = 0.0;
  for (size_t f = 0; f < truth.size(); ++f) {
    const std::vector<MotBox>& t = truth[f];
    const std::vector<MotBox>& r = results[f];
    m.truth_boxes += static_cast<int64_t>(t.size());
    m.result_boxes += static_cast<int64_t>(r.size());
    std::vector<int> result_of(t.size(), -1);
    std::vector<char> taken(r.size(), 0);
    // Keep last frame's pairs that still overlap enough.
    for (size_t g = 0; g < t.size(); ++g) {
      auto it = previous.find(t[g].id);
      if (it == previous.end()) continue;
      for (size_t h = 0; h < r.size(); ++h) {
        if (taken[h] || r[h].id != it->second) continue;
        if (Overlaps(t[g].box, r[h].box, iou_threshold)) {
          result_of[g] = static_cast<int>(h);
          taken[h] = 1;
        }
        break;
      }
    }
    // Pair the rest optimally.
    std::vector<MotBox> free_truth, free_results;
    std::vector<int> free_truth_index, free_result_index;
    for (size_t g = 0; g < t.size(); ++g) {
      if (result_of[g] >= 0) continue;
      free_truth.push_back(t[g]);
      free_truth_index.push_back(static_cast<int>(g));
    }
    for (size_t h = 0; h < r.size(); ++h) {
      if (taken[h]) continue;
      free_results.push_back(r[h]);
      free_result_index.push_back(static_cast<int>(h));
    }
    const std::vector<int> pair =
        AssignByIou(free_results, free_truth, iou_threshold);
    for (size_t k = 0; k < pair.size(); ++k) {
      if (pair[k] < 0) continue;
      result_of[free_truth_index[pair[k]]] = free_result_index[k];
    }
    previous.clear();
    for (size_t g = 0; g < t.size(); ++g) {
      if (result_of[g] < 0) {
        ++m.misses;
        continue;
      }
      const MotBox& hit = r[result_of[g]];
      ++m.matches;
      iou_sum += Iou(t[g].box, hit.box);
      auto it = last.find(t[g].id);
      if (it != last.end() && it->second != hit.id) ++m.identity_switches;
      last[t[g].id] = hit.id;
      previous[t[g].id] = hit.id;
    }
  }
  m.false_positives = m.result_boxes - m.matches;
  if (m.truth_boxes > 0) {
    m.mota = 1.0 - static_cast<double>(m.misses + m.false_positives +
                                       m.identity_switches) /
                       static_cast<double>(m.truth_boxes);
  }
  if (m.matches > 0) m.motp = iou_sum / static_cast<double>(m.matches);
  return m;
}

IdentityScore ScoreIdentities(const MotFrames& truth, const MotFrames& results,
                              double iou_threshold, int64_t* truth_identities,
                              int64_t* result_tracks) {
  std::map<int64_t, int> truth_row, result_column;
  int64_t truth_total = 0, result_total = 0;
  for (size_t f = 0; f < truth.size(); ++f) {
    for (const MotBox& b : truth[f]) {
      truth_row.emplace(b.id, 0);
      ++truth_total;
    }
    for (const MotBox& b : results[f]) {
      result_column.emplace(b.id, 0);
      ++result_total;
    }
  }
  int index = 0;
  for (auto& entry : truth_row) entry.second = index++;
  index = 0;
  for (auto& entry : result_column) entry.second = index++;
  *truth_identities = static_cast<int64_t>(truth_row.size());
  *result_tracks = static_cast<int64_t>(result_column.size());
  IdentityScore s;
  if (!truth_row.empty() && !result_column.empty()) {
    // Frames in which each truth trajectory and each result trajectory
    // overlap enough: the gain of assigning one to the other.
    cv::Mat overlap =
        cv::Mat::zeros(static_cast<int>(truth_row.size()),
                       static_cast<int>(result_column.size()), CV_64F);
    for (size_t f = 0; f < truth.size(); ++f) {
      for (const MotBox& g : truth[f]) {
        for (const MotBox& h : results[f]) {
          if (Overlaps(g.box, h.box, iou_threshold)) {
            overlap.at<double>(truth_row[g.id], result_column[h.id]) += 1.0;
          }
        }
      }
    }
    const std::vector<int> column =
        talvenrook_vision::SolveAssignment(-overlap);
    for (int g = 0; g < overlap.rows; ++g) {
      if (column[g] >= 0) {
        s.idtp += static_cast<int64_t>(overlap.at<double>(g, column[g]));
      }
    }
  }
  s.idfn = truth_total - s.idtp;
  s.idfp = result_total - s.idtp;
  if (truth_total + result_total > 0) {
    s.idf1 = 2.0 * static_cast<double>(s.idtp) /
             static_cast<double>(truth_total + result_total);
  }
  if (result_total > 0) s.idp = static_cast<double>(s.idtp) / result_total;
  if (truth_total > 0) s.idr = static_cast<double>(s.idtp) / truth_total;
  return s;
}

}  // namespace

bool IsRoiExit(const v1::VisionEvent& event) {
  return event.tag() == v1::ZONE_EXIT &&
         event.zone_name().rfind("ROI #", 0) == 0;
}

double Iou(const cv::Rect2d& a, const cv::Rect2d& b) {
  if (a.width <= 0 || a.height <= 0 || b.width <= 0 || b.height <= 0) {
    return 0.0;
  }
  const double inter = (a & b).area();
  return inter / (a.area() + b.area() - inter);
}

bool ParseMot(const std::string& text, const std::string& name,
              MotFrames* frames, std::string* error) {
  frames->clear();
  std::stringstream stream(text);
  std::string line;
  std::vector<double> fields;
  int line_number = 0;
  size_t boxes = 0;
  while (std::getline(stream, line)) {
    ++line_number;
    if (Blank(line)) continue;
    const std::string where = name + ", line " + std::to_string(line_number);
    if (!ParseFields(line, &fields) || fields.size() < 6) {
      *error = where + ": expected frame,id,left,top,width,height[,conf,...]";
      return false;
    }
    const double frame = fields[0];
    if (frame < 1 || frame != std::floor(frame) || frame > kMaxMotFrame) {
      *error = where + ": the frame must be a whole number from 1 to " +
               std::to_string(kMaxMotFrame);
      return false;
    }
    const double id = fields[1];
    if (id != std::floor(id) || std::fabs(id) > kMaxIdentity) {
      *error = where + ": the identity must be a whole number";
      return false;
    }
    if (!(fields[4] > 0) || !(fields[5] > 0)) {
      *error = where + ": the box must have a positive width and height";
      return false;
    }
    MotBox box;
    box.id = static_cast<int64_t>(id);
    box.box = cv::Rect2d(fields[2], fields[3], fields[4], fields[5]);
    box.zero_confidence = fields.size() > 6 && fields[6] == 0.0;
    const size_t f = static_cast<size_t>(frame) - 1;
    if (frames->size() <= f) frames->resize(f + 1);
    std::vector<MotBox>& boxes_of_frame = (*frames)[f];
    for (const MotBox& other : boxes_of_frame) {
      if (other.id == box.id) {
        *error = where + ": identity " + std::to_string(box.id) +
                 " appears twice in frame " + std::to_string(f + 1);
        return false;
      }
    }
    boxes_of_frame.push_back(box);
    ++boxes;
  }
  if (boxes == 0) {
    *error = name + " holds no box";
    return false;
  }
  return true;
}

bool ReadMotFile(const std::string& path, MotFrames* frames,
                 std::string* error) {
  std::ifstream in(path);
  std::error_code ignored;
  if (!in || std::filesystem::is_directory(path, ignored)) {
    *error = "Unable to open ground-truth file: " + path;
    return false;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return ParseMot(buffer.str(), path, frames, error);
}

MotFrames ResultsAsFrames(const v1::VisionResultList& results,
                          int frame_offset) {
  MotFrames frames;
  for (int k = 0; k < results.vision_results_size(); ++k) {
    const int64_t f = static_cast<int64_t>(k) + frame_offset;
    if (f < 0 || f >= kMaxMotFrame) continue;
    const v1::VisionResult& result = results.vision_results(k);
    std::set<uint64_t> ended;
    for (const auto& event : result.vision_event()) {
      if (IsRoiExit(event) || event.tag() == v1::TRACKING_END) {
        ended.insert(event.tracking_id());
      }
    }
    if (frames.size() <= static_cast<size_t>(f)) frames.resize(f + 1);
    for (const auto& detection : result.rect_detection()) {
      if (ended.count(detection.tracking_id()) != 0) continue;
      const auto& l = detection.location();
      if (!(l.width() > 0) || !(l.height() > 0)) continue;
      MotBox box;
      box.id = static_cast<int64_t>(detection.tracking_id());
      box.box = cv::Rect2d(l.x(), l.y(), l.width(), l.height());
      frames[f].push_back(box);
    }
  }
  return frames;
}

ScoreSummary Score(const MotFrames& truth, const MotFrames& results,
                   const ScoreOptions& options) {
  MotFrames t, r;
  SetIgnoredAside(truth, results, options, &t, &r);
  ScoreSummary s;
  s.frames = static_cast<int64_t>(t.size());
  s.clear = ScoreClear(t, r, options.iou_threshold);
  s.identity = ScoreIdentities(t, r, options.iou_threshold, &s.truth_identities,
                               &s.result_tracks);
  return s;
}

}  // namespace kestu_tools
