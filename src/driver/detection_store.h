#ifndef SRC_DRIVER_DETECTION_STORE_H_
#define SRC_DRIVER_DETECTION_STORE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "src/driver/detection_file.h"
#include "src/driver/detection_stream.h"

namespace vostek_kestu {

// A driver's detections file (see detection_file.h): the record of every
// published frame's result while --record_detections_file is set, and the
// replayed results of --replay_detections_file by tracking id.
//
// The record is also written to the file as results come (see
// detection_stream.h), so that a process that is killed leaves the results
// it had; at the end of the run WriteRecord replaces that file with the
// whole record. Of the stores of one process, the first to record a result
// streams to a path; the others keep their record for WriteRecord only.
//
// Thread-safe: results are appended by the frame step, the record is
// written by the capture thread (end of the source) or the main thread
// (the orderly stop), the replay is loaded by configurations and read by
// the face drawing.
class DetectionStore {
 public:
  DetectionStore() = default;
  ~DetectionStore();
  DetectionStore(const DetectionStore&) = delete;
  DetectionStore& operator=(const DetectionStore&) = delete;

  // Appends a copy of the result with its uuids cleared, and streams it to
  // the detections file at path from the first result until WriteRecord.
  void Append(const VisionResult& result, const std::string& path);
  size_t RecordSize() const;
  // Ends the stream and writes the whole record to path (see
  // WriteDetectionsFile); results appended later are kept for a later call.
  // (Const for the driver's callers: the stream it ends is bookkeeping.)
  bool WriteRecord(const std::string& path) const;

  // Loads the replay file and indexes it from scratch; a file that cannot
  // be read leaves the replay empty.
  void LoadReplay(const std::string& path,
                  const std::set<EventTag>& published_tags);
  ReplayIndex replay_index() const;
  // The replayed result of one track, when it has a detection.
  std::optional<VisionResult> ReplayedTrack(uint64_t tracking_id) const;

 private:
  // guards record_, stream_, stream_started_, streamed_path_
  mutable std::mutex record_mutex_;
  VisionResultList record_;
  mutable std::unique_ptr<DetectionStream> stream_;
  mutable bool stream_started_ = false;  // no stream starts from now on
  std::string streamed_path_;            // the path this store claimed
  mutable std::mutex replay_mutex_;      // guards replay_, index_
  VisionResultList replay_;
  ReplayIndex index_;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_DETECTION_STORE_H_
