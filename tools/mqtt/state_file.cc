#include "tools/mqtt/state_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include <google/protobuf/util/json_util.h>

#include "src/common/write_all.h"
#include "tools/json_output.h"
#include "tools/mqtt/mqtt_log.h"

namespace kestu_tools {
namespace {

using Clock = std::chrono::steady_clock;

// Failed writes are logged at most this often.
constexpr auto kErrorLogPeriod = std::chrono::seconds(60);

std::string Errno(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// What makes a parsed state unusable, or "".
std::string Unsound(const StateFile::State& state) {
  std::set<std::pair<std::string, std::string>> seen;
  for (const auto& position : state.positions()) {
    if (position.process().empty() || position.driver().empty() ||
        position.journal_id().empty()) {
      return "a position without its process, driver or journal";
    }
    if (!seen.insert({position.process(), position.driver()}).second) {
      return "two positions of the " + position.driver() + " driver of " +
             position.process();
    }
    for (const auto& count : position.counts()) {
      if (count.count() < 0) return "a negative count";
    }
  }
  for (const auto& total : state.day_totals()) {
    if (total.count() < 0) return "a negative count of a day";
  }
  return "";
}

}  // namespace

StateFile::StateFile(std::string path) : path_(std::move(path)) {}

StateFile::~StateFile() { Stop(); }

bool StateFile::Load(State* state, std::string* error) const {
  state->Clear();
  const int fd = open(path_.c_str(), O_RDONLY);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    *error = Errno("cannot read", path_);
    return false;
  }
  std::string bytes;
  char buffer[8192];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof(buffer))) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = Errno("cannot read", path_);
      close(fd);
      return false;
    }
    bytes.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  const auto status = google::protobuf::util::JsonStringToMessage(bytes, state);
  const std::string unsound =
      status.ok() ? Unsound(*state) : std::string(status.message());
  if (!unsound.empty()) {
    state->Clear();
    *error = unsound;
    return false;
  }
  return true;
}

bool StateFile::SetAside(std::string* error) const {
  const std::string aside = path_ + ".damaged";
  if (std::rename(path_.c_str(), aside.c_str()) != 0) {
    *error = Errno("cannot rename", path_);
    return false;
  }
  return true;
}

bool StateFile::Write(const State& state, bool sync, std::string* error) {
  const std::string temporary = path_ + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
  if (fd < 0) {
    *error = Errno("cannot write", temporary);
    return false;
  }
  const bool written =
      vostek_kestu::WriteAll(fd, AsJson(state, /*indented=*/true) + "\n") &&
      (!sync || fdatasync(fd) == 0);
  if (close(fd) != 0 || !written) {
    *error = Errno("cannot write", temporary);
    unlink(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), path_.c_str()) != 0) {
    *error = Errno("cannot rename over", path_);
    unlink(temporary.c_str());
    return false;
  }
  if (sync) {
    const size_t slash = path_.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                            : path_.substr(0, slash);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
      fsync(dir);
      close(dir);
    }
  }
  return true;
}

bool StateFile::Start(Snapshot snapshot, std::string* error) {
  snapshot_ = std::move(snapshot);
  if (!Write(snapshot_(), /*sync=*/true, error)) return false;
  thread_ = std::thread(&StateFile::Run, this);
  return true;
}

void StateFile::Changed() {
  std::lock_guard<std::mutex> lock(mutex_);
  changed_ = true;
  wake_.notify_all();
}

void StateFile::WriteNow() {
  std::string error;
  bool written = false;
  {
    std::lock_guard<std::mutex> writing(write_mutex_);
    written = Write(snapshot_(), /*sync=*/false, &error);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (written) {
    unsynced_ = true;
  } else {
    changed_ = true;
    wake_.notify_all();
  }
}

void StateFile::Run() {
  auto synced_at = Clock::now();
  auto error_logged_at = Clock::now() - kErrorLogPeriod;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // A change is written at once; a written one is synced once a second
    // has passed since the last sync.
    if (!changed_ && !stopping_) {
      if (unsynced_) {
        wake_.wait_until(lock, synced_at + kSyncPeriod,
                         [&] { return changed_ || stopping_; });
      } else {
        wake_.wait(lock, [&] { return changed_ || stopping_; });
      }
    }
    const bool stop = stopping_;
    const auto now = Clock::now();
    const bool sync = stop || now >= synced_at + kSyncPeriod;
    if (!changed_ && !(unsynced_ && sync)) {
      if (stop) return;
      continue;
    }
    changed_ = false;
    lock.unlock();
    std::string error;
    bool written = false;
    {
      std::lock_guard<std::mutex> writing(write_mutex_);
      written = Write(snapshot_(), sync, &error);
    }
    lock.lock();
    if (written) {
      unsynced_ = !sync;
      if (sync) synced_at = now;
    } else {
      // Tried again with the next change, or within a second.
      ++write_errors_;
      unsynced_ = true;
      synced_at = now;
      if (now - error_logged_at >= kErrorLogPeriod) {
        MqttLog("ERROR: " + error + " (the kept position is not saved)");
        error_logged_at = now;
      }
    }
    if (stop) return;
  }
}

void StateFile::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

int64_t StateFile::write_errors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return write_errors_;
}

}  // namespace kestu_tools
