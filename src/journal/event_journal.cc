#include "src/journal/event_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "src/common/uuid.h"
#include "src/common/write_all.h"

namespace vostek_kestu {
namespace {

constexpr char kIdFile[] = "/journal_id";
constexpr char kTotalsFile[] = "/totals.pb";
constexpr auto kPrunePeriod = std::chrono::minutes(1);

std::string Errno(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

bool ReadWhole(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  *bytes = all.str();
  return true;
}

}  // namespace

EventJournal::EventJournal(JournalOptions options)
    : options_(std::move(options)) {}

EventJournal::~EventJournal() {
  std::string error;
  Sync(&error);
  if (fd_ >= 0) close(fd_);
}

std::unique_ptr<EventJournal> EventJournal::Open(const JournalOptions& options,
                                                 std::string* error) {
  std::unique_ptr<EventJournal> journal(new EventJournal(options));
  if (!journal->Load(error)) return nullptr;
  return journal;
}

bool EventJournal::Load(std::string* error) {
  const std::string& folder = options_.folder;
  if (!MakeFolders(folder, error)) return false;
  std::string id;
  if (ReadWhole(folder + kIdFile, &id) && !id.empty()) {
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) {
      id.pop_back();
    }
  } else {
    id = GenerateUuid();
    if (!WriteFileAtomically(folder + kIdFile, id + "\n", error)) return false;
  }
  id_ = id;

  for (const SegmentFile& file : ListSegments(folder)) {
    segments_.push_back({file.first, file.path, FileSize(file.path)});
  }
  // The saved totals, and the number they were taken at.
  JournalReply saved;
  std::string bytes;
  const bool have_saved = ReadWhole(folder + kTotalsFile, &bytes) &&
                          saved.ParseFromString(bytes) &&
                          saved.journal_id() == id_;
  if (segments_.empty()) {
    const uint64_t first = (have_saved ? saved.last_sequence() : 0) + 1;
    segments_.push_back({first, folder + "/" + SegmentFileName(first), 0});
  }
  // The last segment: its last whole record is the last number; a torn
  // record after it is cut off.
  Segment& current = segments_.back();
  last_ = current.first - 1;
  const int64_t end = ScanSegment(
      current.path, 0,
      [this](const JournalRecord& record, int64_t) {
        last_ = record.sequence;
        return true;
      },
      /*with_payload=*/false);
  if (end >= 0 && end < current.bytes) {
    if (truncate(current.path.c_str(), end) != 0) {
      *error = Errno("cannot cut the torn end of", current.path);
      return false;
    }
    current.bytes = end;
  }
  if (!OpenCurrent(error)) return false;

  // Totals: the saved ones, plus the records written after them.
  uint64_t counted = 0;
  if (have_saved && saved.last_sequence() <= last_) {
    for (const ZoneTotal& total : saved.zone_total()) {
      totals_[{total.zone_name(), total.direction()}] = total;
    }
    counted = saved.last_sequence();
  }
  while (counted < last_) {
    JournalReply page = Read(counted, 0, false);
    if (page.result_size() == 0 && page.gap_to() <= counted) break;
    counted = std::max(counted, page.gap_to());
    for (const VisionResult& result : page.result()) {
      AddToTotals(result);
      counted = result.sequence();
    }
  }
  totals_changed_ = counted != saved.last_sequence();
  next_prune_ = now_();
  return true;
}

bool EventJournal::OpenCurrent(std::string* error) {
  const std::string& path = segments_.back().path;
  fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd_ < 0) {
    *error = Errno("cannot open", path);
    return false;
  }
  return true;
}

bool EventJournal::RollOver(std::string* error) {
  const uint64_t first = last_ + 1;
  if (fd_ >= 0) {
    fdatasync(fd_);
    close(fd_);
    fd_ = -1;
  }
  segments_.push_back(
      {first, options_.folder + "/" + SegmentFileName(first), 0});
  return OpenCurrent(error);
}

bool EventJournal::Append(VisionResult* result, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t sequence = ++last_;
  result->set_sequence(sequence);
  if (segments_.back().bytes >= options_.segment_bytes || fd_ < 0) {
    // The segment starts at this number whether or not the record fits.
    --last_;
    const bool rolled = RollOver(error);
    ++last_;
    if (!rolled) return false;
  }
  JournalRecord record;
  record.sequence = sequence;
  record.written_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          now_().time_since_epoch())
                          .count();
  record.payload = result->SerializeAsString();
  Segment& current = segments_.back();
  if (!WriteAll(fd_, EncodeJournalRecord(record))) {
    *error = Errno("cannot write to", current.path);
    // A partly written record would end the segment for readers.
    if (ftruncate(fd_, current.bytes) != 0) {
      close(fd_);
      fd_ = -1;
    }
    return false;
  }
  current.bytes += static_cast<int64_t>(kJournalHeaderBytes) +
                   static_cast<int64_t>(record.payload.size());
  unsynced_ = true;
  AddToTotals(*result);
  return true;
}

void EventJournal::AddToTotals(const VisionResult& result) {
  for (const auto& event : result.vision_event()) {
    if (event.tag() != ::talvenrook::vision::v1::ZONE_EXIT) continue;
    ZoneTotal& total = totals_[{event.zone_name(), event.zone_direction()}];
    total.set_zone_name(event.zone_name());
    total.set_direction(event.zone_direction());
    total.set_count(total.count() + 1);
    total.set_speed_sum(total.speed_sum() + event.speed());
    total.set_last_speed(event.speed());
    totals_changed_ = true;
  }
}

JournalReply EventJournal::Position() const {
  JournalReply reply;
  reply.set_journal_id(id_);
  reply.set_last_sequence(last_);
  const uint64_t first = segments_.front().first;
  reply.set_first_sequence(first <= last_ ? first : 0);
  for (const auto& [key, total] : totals_) *reply.add_zone_total() = total;
  return reply;
}

JournalReply EventJournal::Read(uint64_t after, uint32_t max,
                                bool position_only) const {
  std::vector<Segment> segments;
  JournalReply reply;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reply = Position();
    segments = segments_;
  }
  const uint64_t last = reply.last_sequence();
  if (position_only || after >= last) return reply;
  const uint32_t limit =
      max == 0 ? options_.max_read : std::min(max, options_.max_read);
  // Every record up to `last` was whole before `last` was read; later ones
  // may be half written and are not looked at.
  size_t index = 0;
  while (index + 1 < segments.size() &&
         segments[index + 1].first <= after + 1) {
    ++index;
  }
  uint64_t expected = after + 1;
  int64_t bytes = 0;
  bool done = false;
  int64_t start = 0;
  {
    std::lock_guard<std::mutex> lock(marks_mutex_);
    for (const ReadMark& mark : read_marks_) {
      if (mark.sequence == after &&
          mark.segment_first == segments[index].first) {
        start = mark.offset;
      }
    }
  }
  ReadMark end;
  for (; index < segments.size() && !done; ++index, start = 0) {
    if (segments[index].first > expected && reply.result_size() == 0 &&
        reply.gap_to() == 0) {
      reply.set_gap_from(expected);
      reply.set_gap_to(std::min(segments[index].first - 1, last));
      expected = segments[index].first;
    }
    ScanSegment(segments[index].path, start,
                [&](const JournalRecord& record, int64_t next) {
                  if (record.sequence < expected) return true;
                  if (record.sequence > last) {
                    done = true;
                    return false;
                  }
                  if (record.sequence != expected) {
                    if (reply.result_size() > 0 || reply.gap_to() != 0) {
                      done = true;  // the next read reports this gap
                      return false;
                    }
                    reply.set_gap_from(expected);
                    reply.set_gap_to(record.sequence - 1);
                  }
                  VisionResult* result = reply.add_result();
                  if (!result->ParseFromString(record.payload)) {
                    reply.mutable_result()->RemoveLast();
                    done = true;
                    return false;
                  }
                  expected = record.sequence + 1;
                  end = {record.sequence, segments[index].first, next};
                  bytes += static_cast<int64_t>(record.payload.size());
                  if (reply.result_size() >= static_cast<int>(limit) ||
                      bytes >= options_.max_read_bytes || expected > last) {
                    done = true;
                    return false;
                  }
                  return true;
                });
  }
  if (end.sequence > 0) {
    std::lock_guard<std::mutex> lock(marks_mutex_);
    if (read_marks_.size() >= kReadMarks)
      read_marks_.erase(read_marks_.begin());
    read_marks_.push_back(end);
  }
  // Numbers given but never written (a failed write) at the end.
  if (reply.result_size() == 0 && reply.gap_to() == 0 && expected <= last) {
    reply.set_gap_from(expected);
    reply.set_gap_to(last);
  }
  return reply;
}

bool EventJournal::Sync(std::string* error) {
  int fd = -1;
  JournalReply totals;
  bool write_totals = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unsynced_ && fd_ >= 0) fd = dup(fd_);
    unsynced_ = false;
    if (totals_changed_) {
      totals = Position();
      totals_changed_ = false;
      write_totals = true;
    }
  }
  bool ok = true;
  // The records first: the totals never count a record a power cut loses.
  if (fd >= 0) {
    if (fdatasync(fd) != 0) {
      *error = Errno("cannot sync", options_.folder);
      ok = false;
    }
    close(fd);
  }
  if (write_totals) {
    totals.set_first_sequence(0);
    if (!WriteFileAtomically(options_.folder + kTotalsFile,
                             totals.SerializeAsString(), error)) {
      std::lock_guard<std::mutex> lock(mutex_);
      totals_changed_ = true;
      ok = false;
    }
  }
  Prune();
  return ok;
}

void EventJournal::Prune() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = now_();
  if (now < next_prune_) return;
  next_prune_ = now + kPrunePeriod;
  const auto oldest = now - std::chrono::hours(24) * options_.retention_days;
  int64_t total = 0;
  for (const Segment& segment : segments_) total += segment.bytes;
  while (segments_.size() > 1) {
    const Segment& segment = segments_.front();
    struct stat st;
    const bool exists = stat(segment.path.c_str(), &st) == 0;
    const auto written = Clock::from_time_t(exists ? st.st_mtime : 0);
    const bool aged = options_.retention_days > 0 && written < oldest;
    if (!aged && total <= options_.max_bytes && exists) break;
    unlink(segment.path.c_str());
    total -= segment.bytes;
    segments_.erase(segments_.begin());
  }
}

uint64_t EventJournal::last_sequence() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_;
}

uint64_t EventJournal::first_sequence() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Position().first_sequence();
}

std::vector<ZoneTotal> EventJournal::Totals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ZoneTotal> totals;
  for (const auto& [key, total] : totals_) totals.push_back(total);
  return totals;
}

int64_t EventJournal::size_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  int64_t total = 0;
  for (const Segment& segment : segments_) total += segment.bytes;
  return total;
}

}  // namespace vostek_kestu
