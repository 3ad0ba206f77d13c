#include "src/driver/detection_store.h"

namespace vostek_kestu {

void DetectionStore::Append(const VisionResult& result) {
  std::lock_guard<std::mutex> lock(record_mutex_);
  AppendToDetectionRecord(result, &record_);
}

size_t DetectionStore::RecordSize() const {
  std::lock_guard<std::mutex> lock(record_mutex_);
  return static_cast<size_t>(record_.vision_results_size());
}

bool DetectionStore::WriteRecord(const std::string& path) const {
  std::lock_guard<std::mutex> lock(record_mutex_);
  return WriteDetectionsFile(record_, path);
}

void DetectionStore::LoadReplay(const std::string& path,
                                const std::set<EventTag>& published_tags) {
  // Loaded apart from the detection record, and indexed from scratch.
  VisionResultList results;
  ReplayIndex index;
  LoadReplayFile(path, published_tags, &results, &index);
  std::lock_guard<std::mutex> lock(replay_mutex_);
  replay_.Swap(&results);
  index_.swap(index);
}

ReplayIndex DetectionStore::replay_index() const {
  std::lock_guard<std::mutex> lock(replay_mutex_);
  return index_;
}

std::optional<VisionResult> DetectionStore::ReplayedTrack(
    uint64_t tracking_id) const {
  std::lock_guard<std::mutex> lock(replay_mutex_);
  const auto it = index_.find(tracking_id);
  if (it == index_.end() || it->second.rect_detection_size() == 0) {
    return std::nullopt;
  }
  return it->second;
}

}  // namespace vostek_kestu
