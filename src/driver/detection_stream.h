// The detections file written as a run goes: each result's record (see
// detection_records.h) is appended to a buffer that a thread of the stream
// writes to the file at least once a second, and sooner when it grows
// large. A process that is killed leaves a file of whole records, perhaps
// followed by a torn one; at worst the last second's results are missing.
#ifndef SRC_DRIVER_DETECTION_STREAM_H_
#define SRC_DRIVER_DETECTION_STREAM_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

#include "talvenrook/vision/v1/vision.pb.h"

namespace vostek_kestu {

// Thread-safe.
class DetectionStream {
 public:
  // Buffered bytes that make the thread write at once.
  static constexpr size_t kEagerBytes = 1 << 20;

  explicit DetectionStream(
      std::chrono::milliseconds flush_interval = std::chrono::seconds(1));
  // Closes the file (see Close).
  ~DetectionStream();

  DetectionStream(const DetectionStream&) = delete;
  DetectionStream& operator=(const DetectionStream&) = delete;

  // Creates the file (emptying one that exists) and starts the thread. On
  // failure logs ERROR "Error trying to create detections file: <path>"
  // and returns false; the stream then ignores what it is given.
  bool Open(const std::string& path);

  // Queues the result's record, written by the next flush.
  void Append(const ::talvenrook::vision::v1::VisionResult& result);

  // Writes what is queued now. A write that fails logs ERROR "Error trying
  // to write detections file: <path>" once and ends the stream: false.
  bool Flush();

  // Writes what is queued, ends the thread and closes the file. A second
  // call does nothing.
  void Close();

  bool is_open() const;

 private:
  void Run();
  // Requires write_mutex_.
  bool WritePending();

  const std::chrono::milliseconds flush_interval_;
  std::string path_;

  mutable std::mutex mutex_;  // guards pending_, stopping_, fd_open_
  std::condition_variable wake_;
  std::string pending_;
  bool stopping_ = false;
  bool fd_open_ = false;

  std::mutex write_mutex_;  // guards fd_, the order of the writes
  int fd_ = -1;
  std::string writing_;  // the bytes being written, reused
  std::thread thread_;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_DETECTION_STREAM_H_
