#include "src/driver/detection_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <glog/logging.h>

#include "src/common/write_all.h"
#include "src/driver/detection_records.h"

namespace vostek_kestu {

DetectionStream::DetectionStream(std::chrono::milliseconds flush_interval)
    : flush_interval_(flush_interval) {}

DetectionStream::~DetectionStream() { Close(); }

bool DetectionStream::Open(const std::string& path) {
  std::lock_guard<std::mutex> write(write_mutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_open_ || stopping_ || thread_.joinable()) return false;
  }
  path_ = path;
  // Appending keeps each flush's records together at the end, whoever
  // else writes to the file.
  fd_ = ::open(path.c_str(),
               O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    LOG(ERROR) << "Error trying to create detections file: " << path;
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fd_open_ = true;
  }
  thread_ = std::thread(&DetectionStream::Run, this);
  return true;
}

void DetectionStream::Append(
    const ::talvenrook::vision::v1::VisionResult& result) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!fd_open_) return;
  AppendDetectionRecord(result, &pending_);
  if (pending_.size() >= kEagerBytes) wake_.notify_one();
}

bool DetectionStream::Flush() {
  std::lock_guard<std::mutex> write(write_mutex_);
  return WritePending();
}

bool DetectionStream::WritePending() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open_) return false;
    writing_.clear();
    writing_.swap(pending_);
  }
  if (writing_.empty() || WriteAll(fd_, writing_)) return true;
  LOG(ERROR) << "Error trying to write detections file: " << path_;
  ::close(fd_);
  fd_ = -1;
  std::lock_guard<std::mutex> lock(mutex_);
  fd_open_ = false;
  pending_.clear();
  return false;
}

void DetectionStream::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_ && fd_open_) {
    wake_.wait_for(lock, flush_interval_, [this] {
      return stopping_ || pending_.size() >= kEagerBytes;
    });
    if (stopping_) break;
    lock.unlock();
    {
      std::lock_guard<std::mutex> write(write_mutex_);
      WritePending();
    }
    lock.lock();
  }
}

void DetectionStream::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> write(write_mutex_);
  WritePending();
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  fd_open_ = false;
}

bool DetectionStream::is_open() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fd_open_;
}

}  // namespace vostek_kestu
