#include "src/journal/journal_segment.h"

#include <dirent.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace vostek_kestu {
namespace {

constexpr char kPrefix[] = "events-";
constexpr char kSuffix[] = ".log";
constexpr size_t kDigits = 20;

void PutLittle(uint64_t value, int bytes, std::string* out) {
  for (int i = 0; i < bytes; ++i) {
    out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  }
}

uint64_t GetLittle(const unsigned char* in, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

uint32_t Checksum(const char* data, size_t size, uint32_t crc = 0) {
  return static_cast<uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(data),
                                     static_cast<uInt>(size)));
}

}  // namespace

std::string EncodeJournalRecord(const JournalRecord& record) {
  std::string body;
  PutLittle(record.sequence, 8, &body);
  PutLittle(static_cast<uint64_t>(record.written_ms), 8, &body);
  body += record.payload;
  std::string out;
  out.reserve(8 + body.size());
  PutLittle(record.payload.size(), 4, &out);
  PutLittle(Checksum(body.data(), body.size()), 4, &out);
  out += body;
  return out;
}

std::string SegmentFileName(uint64_t first) {
  char name[64];
  std::snprintf(name, sizeof(name), "%s%020llu%s", kPrefix,
                static_cast<unsigned long long>(first), kSuffix);
  return name;
}

uint64_t SegmentFirstSequence(const std::string& file_name) {
  const size_t prefix = std::strlen(kPrefix);
  const size_t suffix = std::strlen(kSuffix);
  if (file_name.size() != prefix + kDigits + suffix ||
      file_name.compare(0, prefix, kPrefix) != 0 ||
      file_name.compare(prefix + kDigits, suffix, kSuffix) != 0) {
    return 0;
  }
  uint64_t value = 0;
  for (size_t i = prefix; i < prefix + kDigits; ++i) {
    const char c = file_name[i];
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

std::vector<SegmentFile> ListSegments(const std::string& folder) {
  std::vector<SegmentFile> segments;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return segments;
  while (const dirent* entry = readdir(dir)) {
    const uint64_t first = SegmentFirstSequence(entry->d_name);
    if (first > 0) segments.push_back({first, folder + "/" + entry->d_name});
  }
  closedir(dir);
  std::sort(segments.begin(), segments.end(),
            [](const SegmentFile& a, const SegmentFile& b) {
              return a.first < b.first;
            });
  return segments;
}

int64_t ScanSegment(
    const std::string& path, int64_t offset,
    const std::function<bool(const JournalRecord& record, int64_t next)>& visit,
    bool with_payload) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return -1;
  in.seekg(offset);
  if (!in) return offset;
  JournalRecord record;
  std::string body;
  for (;;) {
    unsigned char header[kJournalHeaderBytes];
    if (!in.read(reinterpret_cast<char*>(header), sizeof(header))) break;
    const uint32_t length = static_cast<uint32_t>(GetLittle(header, 4));
    const uint32_t crc = static_cast<uint32_t>(GetLittle(header + 4, 4));
    if (length > kJournalMaxPayload) break;
    record.payload.resize(length);
    if (length > 0 && !in.read(record.payload.data(), length)) break;
    uint32_t check = Checksum(reinterpret_cast<const char*>(header + 8), 16);
    check = Checksum(record.payload.data(), length, check);
    if (check != crc) break;
    record.sequence = GetLittle(header + 8, 8);
    record.written_ms = static_cast<int64_t>(GetLittle(header + 16, 8));
    const int64_t next = offset + static_cast<int64_t>(sizeof(header)) + length;
    if (!with_payload) record.payload.clear();
    offset = next;
    if (!visit(record, next)) break;
  }
  return offset;
}

}  // namespace vostek_kestu
