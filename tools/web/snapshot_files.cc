#include "tools/web/snapshot_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "src/common/write_all.h"
#include "tools/web/web_util.h"

namespace kestu_tools {
namespace {

constexpr char kSuffix[] = ".jpg";
constexpr char kTemporarySuffix[] = ".jpg.tmp";
// How much older than its event a file may be and still be that event's
// (clocks of the process and of kestu-web a little apart).
constexpr double kClockSlack = 300.0;

std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// The id of a snapshot's file name ("123.jpg"), or -1.
int64_t IdOf(const std::string& name) {
  const size_t digits = name.size() - (sizeof(kSuffix) - 1);
  if (name.size() <= sizeof(kSuffix) - 1 || digits > 18 ||
      name.compare(digits, std::string::npos, kSuffix) != 0) {
    return -1;
  }
  int64_t id = 0;
  for (size_t i = 0; i < digits; ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    id = id * 10 + (name[i] - '0');
  }
  return id;
}

}  // namespace

SnapshotFiles::SnapshotFiles(std::string dir, int days, int64_t max_bytes,
                             Clock now)
    : dir_(std::move(dir)),
      days_(days),
      max_bytes_(max_bytes),
      now_(now ? std::move(now) : Clock(EpochSeconds)) {}

std::string SnapshotFiles::Path(int64_t id) const {
  return dir_ + "/" + std::to_string(id) + kSuffix;
}

bool SnapshotFiles::Open(std::string* error) {
  struct stat info;
  if (!vostek_kestu::MakeFolders(dir_, error)) return false;
  if (stat(dir_.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    *error = "the snapshot folder " + dir_ + " is not a folder";
    return false;
  }
  DIR* folder = opendir(dir_.c_str());
  if (folder == nullptr) {
    *error = Reason("cannot read the snapshot folder", dir_);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  files_.clear();
  by_age_.clear();
  total_bytes_ = 0;
  while (const dirent* item = readdir(folder)) {
    const std::string name = item->d_name;
    const std::string path = dir_ + "/" + name;
    if (name.size() > sizeof(kTemporarySuffix) - 1 &&
        name.compare(name.size() - (sizeof(kTemporarySuffix) - 1),
                     std::string::npos, kTemporarySuffix) == 0) {
      unlink(path.c_str());  // a write that a kill cut short
      continue;
    }
    const int64_t id = IdOf(name);
    if (id < 0 || stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      continue;
    }
    Entry entry;
    entry.written =
        static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec * 1e-9;
    entry.bytes = static_cast<int64_t>(info.st_size);
    files_[id] = entry;
    by_age_.emplace(entry.written, id);
    total_bytes_ += entry.bytes;
  }
  closedir(folder);
  EnforceLocked();
  return true;
}

bool SnapshotFiles::Write(int64_t id, const std::string& jpeg,
                          std::string* error) {
  const std::string path = Path(id);
  const double written = now_();
  if (!vostek_kestu::WriteFileAtomically(path, jpeg, error)) return false;
  // Its age is the clock's, also after a restart.
  timespec times[2];
  times[0].tv_sec = static_cast<time_t>(std::floor(written));
  times[0].tv_nsec = static_cast<long>(  // NOLINT(runtime/int)
      (written - std::floor(written)) * 1e9);
  times[1] = times[0];
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    *error = Reason("cannot set the time of", path);
    unlink(path.c_str());
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (files_.count(id) > 0) {
    by_age_.erase({files_[id].written, id});
    total_bytes_ -= files_[id].bytes;
  }
  files_[id] = Entry{written, static_cast<int64_t>(jpeg.size())};
  by_age_.emplace(written, id);
  total_bytes_ += static_cast<int64_t>(jpeg.size());
  EnforceLocked();
  return true;
}

bool SnapshotFiles::Has(int64_t id, double event_time) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = files_.find(id);
  return it != files_.end() && it->second.written >= event_time - kClockSlack;
}

std::optional<std::string> SnapshotFiles::Read(int64_t id,
                                               double event_time) const {
  if (!Has(id, event_time)) return std::nullopt;
  std::ifstream file(Path(id), std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file),
                     std::istreambuf_iterator<char>());
}

void SnapshotFiles::Enforce() {
  std::lock_guard<std::mutex> lock(mutex_);
  EnforceLocked();
}

void SnapshotFiles::EnforceLocked() {
  const double oldest_kept = now_() - days_ * 86400.0;
  while (!by_age_.empty() &&
         (by_age_.begin()->first < oldest_kept || total_bytes_ > max_bytes_)) {
    Remove(by_age_.begin()->second);
  }
}

void SnapshotFiles::Remove(int64_t id) {
  const auto it = files_.find(id);
  if (it == files_.end()) return;
  unlink(Path(id).c_str());
  by_age_.erase({it->second.written, id});
  total_bytes_ -= it->second.bytes;
  files_.erase(it);
}

int64_t SnapshotFiles::total_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_bytes_;
}

size_t SnapshotFiles::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return files_.size();
}

}  // namespace kestu_tools
