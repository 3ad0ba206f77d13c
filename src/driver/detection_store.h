#ifndef SRC_DRIVER_DETECTION_STORE_H_
#define SRC_DRIVER_DETECTION_STORE_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "src/driver/detection_file.h"

namespace vostek_kestu {

// A driver's detections file (see detection_file.h): the record of every
// published frame's result while --record_detections_file is set, and the
// replayed results of --replay_detections_file by tracking id.
//
// Thread-safe: results are appended by the frame step, the record is
// written by the capture thread (end of the source) or the main thread
// (the orderly stop), the replay is loaded by configurations and read by
// the face drawing.
class DetectionStore {
 public:
  // Appends a copy of the result with its uuids cleared.
  void Append(const VisionResult& result);
  size_t RecordSize() const;
  bool WriteRecord(const std::string& path) const;

  // Loads the replay file and indexes it from scratch; a file that cannot
  // be read leaves the replay empty.
  void LoadReplay(const std::string& path,
                  const std::set<EventTag>& published_tags);
  ReplayIndex replay_index() const;
  // The replayed result of one track, when it has a detection.
  std::optional<VisionResult> ReplayedTrack(uint64_t tracking_id) const;

 private:
  mutable std::mutex record_mutex_;  // guards record_
  VisionResultList record_;
  mutable std::mutex replay_mutex_;  // guards replay_, index_
  VisionResultList replay_;
  ReplayIndex index_;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_DETECTION_STORE_H_
