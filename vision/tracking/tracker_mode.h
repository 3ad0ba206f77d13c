// Per-track class vote.
//
// A detector or classifier reports a class for a track in every frame; the
// class of one frame is noisy. TrackerMode keeps, for each track id, the
// vote counts and mean scores of every class over the whole life of the
// track (totals) and over its last num_recent votes (recent), so that a
// pipeline can report a stable class per track.
//
// Contract:
//   - Vote creates the track's history on first use. A class index that is
//     negative, or not below num_classes, creates the history but counts
//     nothing.
//   - Mode/RecentMode give the class with the strictly largest count, the
//     lowest index on ties, or -1 when nothing has been counted (also for an
//     unknown track).
//   - Erase drops a track's history; Configure drops all of them.
//   - Not thread-safe: used from the one analytics thread of its pipeline.
//
// Example configuration (pipeline config map, protobuf text format):
//   properties { key: "tracker_num_classes" value { integer_value: 90 } }
//   properties { key: "tracker_num_recent" value { integer_value: 5 } }
#ifndef VISION_TRACKING_TRACKER_MODE_H_
#define VISION_TRACKING_TRACKER_MODE_H_

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vision/config/key_table.h"

namespace talvenrook_vision {

class TrackerMode {
 public:
  static constexpr int32_t kDefaultNumClasses = 90;
  static constexpr int32_t kDefaultNumRecent = 5;
  // Larger configured values are refused (the defaults are used).
  static constexpr int32_t kMaxNumClasses = 10000;
  static constexpr int32_t kMaxNumRecent = 1000;

  // A vote count with the running mean of the votes' scores.
  struct ClassCount {
    int32_t count = 0;
    float mean_score = 0.0f;
  };

  // The votes of one track. `window` is a ring of exactly num_recent
  // (class_index, score) pairs, oldest at `window_head`; unused slots hold
  // (-1, 0.0).
  struct ClassHistory {
    std::vector<ClassCount> totals;
    std::vector<ClassCount> recent;
    std::vector<std::pair<int32_t, float>> window;
    size_t window_head = 0;
  };

  // The keys of Configure.
  struct Settings {
    int32_t num_classes = kDefaultNumClasses;
    int32_t num_recent = kDefaultNumRecent;
  };
  // Built on first use; safe to call from any thread.
  static const KeyTable<Settings>& Keys();

  TrackerMode() : TrackerMode(kDefaultNumClasses, kDefaultNumRecent) {}
  // Negative sizes are taken as 0.
  TrackerMode(int32_t num_classes, int32_t num_recent);

  // Reads "tracker_num_classes" and "tracker_num_recent", drops every
  // history and writes "INFO: Configuring TrackerMode: {num_classes: N,
  // num_recent: M}" to standard error.
  void Configure(const Entity& config);

  void Vote(int32_t track_id, int32_t class_index, float score);

  // Class with the most votes over the track's life, and its mean score.
  int32_t Mode(int32_t track_id) const;
  float ModeScore(int32_t track_id) const;
  // Class with the most votes among the last num_recent votes.
  int32_t RecentMode(int32_t track_id) const;
  // Normalised entropy in [0, 1] of the recent counts; 1.0 when fewer than
  // 3 recent votes exist.
  float RecentUncertainty(int32_t track_id) const;

  void Erase(int32_t track_id);
  // Tracks with a history.
  size_t TrackCount() const { return histories_.size(); }

  // The track's history, or nullptr when it has none.
  const ClassHistory* History(int32_t track_id) const;

  int32_t num_classes() const { return num_classes_; }
  int32_t num_recent() const { return num_recent_; }

 private:
  ClassHistory& FindOrCreate(int32_t track_id);

  int32_t num_classes_;
  int32_t num_recent_;
  std::unordered_map<int32_t, ClassHistory> histories_;
};

}  // namespace talvenrook_vision

#endif  // VISION_TRACKING_TRACKER_MODE_H_
