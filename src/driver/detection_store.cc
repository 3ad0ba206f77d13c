#include "src/driver/detection_store.h"

#include <set>

namespace vostek_kestu {

namespace {

// The paths streamed to by the stores of this process: one store per path.
std::mutex claims_mutex;
std::set<std::string>& Claims() {
  static auto* claims = new std::set<std::string>();
  return *claims;
}

bool Claim(const std::string& path) {
  std::lock_guard<std::mutex> lock(claims_mutex);
  return Claims().insert(path).second;
}

void Release(const std::string& path) {
  std::lock_guard<std::mutex> lock(claims_mutex);
  Claims().erase(path);
}

}  // namespace

DetectionStore::~DetectionStore() {
  std::lock_guard<std::mutex> lock(record_mutex_);
  stream_.reset();
  if (!streamed_path_.empty()) Release(streamed_path_);
}

void DetectionStore::Append(const VisionResult& result,
                            const std::string& path) {
  std::lock_guard<std::mutex> lock(record_mutex_);
  AppendToDetectionRecord(result, &record_);
  if (!stream_started_) {
    stream_started_ = true;
    if (!path.empty() && Claim(path)) {
      streamed_path_ = path;
      stream_ = std::make_unique<DetectionStream>();
      if (!stream_->Open(path)) stream_.reset();
    }
  }
  if (stream_) {
    stream_->Append(record_.vision_results(record_.vision_results_size() - 1));
  }
}

size_t DetectionStore::RecordSize() const {
  std::lock_guard<std::mutex> lock(record_mutex_);
  return static_cast<size_t>(record_.vision_results_size());
}

bool DetectionStore::WriteRecord(const std::string& path) const {
  std::lock_guard<std::mutex> lock(record_mutex_);
  // The streamed file is complete up to here; the whole record replaces it.
  stream_started_ = true;
  stream_.reset();
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
