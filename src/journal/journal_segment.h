// The files of an event journal: segments of records, each segment named
// after the first number it holds ("events-00000000000000000001.log").
//
// A record is a 24-byte header, then the serialised result:
//   uint32 payload length, uint32 CRC-32 of the rest of the record,
//   uint64 sequence number, int64 milliseconds since the epoch (written),
// all little-endian. A record that ends early or fails its check ends the
// segment: whatever follows a torn or damaged record is not read.
#ifndef SRC_JOURNAL_JOURNAL_SEGMENT_H_
#define SRC_JOURNAL_JOURNAL_SEGMENT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vostek_kestu {

struct JournalRecord {
  uint64_t sequence = 0;
  int64_t written_ms = 0;
  std::string payload;
};

constexpr size_t kJournalHeaderBytes = 24;
// A record longer than this is taken as damage.
constexpr uint32_t kJournalMaxPayload = 64u << 20;

std::string EncodeJournalRecord(const JournalRecord& record);

// "events-<20 digits>.log" for the segment that starts at `first`.
std::string SegmentFileName(uint64_t first);
// The first number of a segment file name; 0 when it is not one.
uint64_t SegmentFirstSequence(const std::string& file_name);

// The segment files of a folder, by first number.
struct SegmentFile {
  uint64_t first = 0;
  std::string path;
};
std::vector<SegmentFile> ListSegments(const std::string& folder);

// Reads the records of a segment from `offset` in order, giving each to
// `visit` with the offset that follows it, until `visit` returns false, the
// file ends, or a record is torn or damaged. Returns the offset after the
// last whole record read; -1 when the file cannot be opened.
int64_t ScanSegment(
    const std::string& path, int64_t offset,
    const std::function<bool(const JournalRecord& record, int64_t next)>& visit,
    bool with_payload = true);

}  // namespace vostek_kestu

#endif  // SRC_JOURNAL_JOURNAL_SEGMENT_H_
