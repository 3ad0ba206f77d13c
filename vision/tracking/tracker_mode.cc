#include "vision/tracking/tracker_mode.h"

#include <algorithm>
#include <cmath>

#include "absl/strings/str_cat.h"
#include "vision/config/setup_notes.h"

namespace talvenrook_vision {
namespace {

// Adds one vote of `score` to the running mean.
void AddVote(TrackerMode::ClassCount* entry, float score) {
  entry->count += 1;
  entry->mean_score =
      ((entry->count - 1) * entry->mean_score + score) / entry->count;
}

// Removes one vote of `score` from the running mean. A count that drops to
// 0 leaves a mean of 0 rather than dividing by zero.
void RemoveVote(TrackerMode::ClassCount* entry, float score) {
  entry->count -= 1;
  if (entry->count <= 0) {
    entry->count = 0;
    entry->mean_score = 0.0f;
    return;
  }
  entry->mean_score =
      ((entry->count + 1) * entry->mean_score - score) / entry->count;
}

// First index with the strictly largest count, or -1 when all are 0.
int32_t BestIndex(const std::vector<TrackerMode::ClassCount>& counts) {
  int32_t best = -1;
  int32_t best_count = 0;
  for (size_t i = 0; i < counts.size(); ++i) {
    if (counts[i].count > best_count) {
      best_count = counts[i].count;
      best = static_cast<int32_t>(i);
    }
  }
  return best;
}

}  // namespace

TrackerMode::TrackerMode(int32_t num_classes, int32_t num_recent)
    : num_classes_(std::max(num_classes, 0)),
      num_recent_(std::max(num_recent, 0)) {}

const KeyTable<TrackerMode::Settings>& TrackerMode::Keys() {
  using S = Settings;
  static const KeyTable<S>* const table = [] {
    auto* t = new KeyTable<S>(
        "Class vote",
        "Keys of the pipeline's config map: the per-track class vote. Values "
        "above 10000 classes or 1000 recent votes give both defaults.");
    t->Int("tracker_num_classes", &S::num_classes,
           "Classes counted per track (negative: 0).")
        .Int("tracker_num_recent", &S::num_recent,
             "Recent votes kept per track (negative: 0).");
    return t;
  }();
  return *table;
}

void TrackerMode::Configure(const Entity& config) {
  Settings settings;
  WriteKeyProblems(Keys().Read(config, &settings));
  int32_t num_classes = settings.num_classes;
  int32_t num_recent = settings.num_recent;
  // Every track holds counts for every class and its recent window.
  if (num_classes > kMaxNumClasses || num_recent > kMaxNumRecent) {
    NoteWarning(absl::StrCat(
        "tracker_num_classes and tracker_num_recent must be at most ",
        kMaxNumClasses, " and ", kMaxNumRecent, ", got ", num_classes, " and ",
        num_recent, "; using ", kDefaultNumClasses, " and ",
        kDefaultNumRecent));
    num_classes = kDefaultNumClasses;
    num_recent = kDefaultNumRecent;
  }
  *this = TrackerMode(num_classes, num_recent);
  NoteInfo(absl::StrCat("Configuring TrackerMode: {num_classes: ", num_classes_,
                        ", num_recent: ", num_recent_, "}"));
}

TrackerMode::ClassHistory& TrackerMode::FindOrCreate(int32_t track_id) {
  auto it = histories_.find(track_id);
  if (it != histories_.end()) return it->second;
  ClassHistory& history = histories_[track_id];
  history.totals.assign(num_classes_, ClassCount());
  history.recent.assign(num_classes_, ClassCount());
  history.window.assign(num_recent_, {-1, 0.0f});
  return history;
}

void TrackerMode::Vote(int32_t track_id, int32_t class_index, float score) {
  ClassHistory& history = FindOrCreate(track_id);
  if (class_index < 0 || class_index >= num_classes_) return;
  AddVote(&history.totals[class_index], score);
  if (history.window.empty()) return;
  // The oldest vote leaves the window and the new one takes its slot.
  const std::pair<int32_t, float> oldest = history.window[history.window_head];
  history.window[history.window_head] = {class_index, score};
  history.window_head = (history.window_head + 1) % history.window.size();
  AddVote(&history.recent[class_index], score);
  if (oldest.first != -1)
    RemoveVote(&history.recent[oldest.first], oldest.second);
}

const TrackerMode::ClassHistory* TrackerMode::History(int32_t track_id) const {
  auto it = histories_.find(track_id);
  return it == histories_.end() ? nullptr : &it->second;
}

int32_t TrackerMode::Mode(int32_t track_id) const {
  const ClassHistory* history = History(track_id);
  return history ? BestIndex(history->totals) : -1;
}

float TrackerMode::ModeScore(int32_t track_id) const {
  const ClassHistory* history = History(track_id);
  if (!history) return 0.0f;
  const int32_t best = BestIndex(history->totals);
  return best < 0 ? 0.0f : history->totals[best].mean_score;
}

int32_t TrackerMode::RecentMode(int32_t track_id) const {
  const ClassHistory* history = History(track_id);
  return history ? BestIndex(history->recent) : -1;
}

float TrackerMode::RecentUncertainty(int32_t track_id) const {
  const ClassHistory* history = History(track_id);
  if (!history || history->recent.empty()) return 1.0f;
  int64_t sum = 0;
  for (const ClassCount& entry : history->recent) sum += entry.count;
  if (sum < 3) return 1.0f;
  // With a single class every vote agrees; log2(1) would divide by zero.
  if (num_classes_ <= 1) return 0.0f;
  double entropy = 0.0;
  for (const ClassCount& entry : history->recent) {
    if (entry.count == 0) continue;
    const double p = static_cast<double>(entry.count) / sum;
    entropy -= p * std::log2(p);
  }
  return static_cast<float>(entropy / std::log2(num_classes_));
}

void TrackerMode::Erase(int32_t track_id) { histories_.erase(track_id); }

}  // namespace talvenrook_vision
