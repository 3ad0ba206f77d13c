#include "src/driver/detection_records.h"

#include <cstdint>

namespace vostek_kestu {

namespace {

// Field 1 (vision_results), length-delimited.
constexpr unsigned char kRecordTag = 0x0a;
// A size above this is no size of a record that fits in memory.
constexpr int kMaxVarintBytes = 10;

enum class Scan { kWhole, kTorn, kBad };

// Reads a varint at *pos. kTorn when the bytes end inside it.
Scan ReadVarint(const std::string& bytes, size_t* pos, uint64_t* value) {
  *value = 0;
  for (int i = 0; i < kMaxVarintBytes; ++i) {
    if (*pos >= bytes.size()) return Scan::kTorn;
    const auto byte = static_cast<unsigned char>(bytes[(*pos)++]);
    *value |= static_cast<uint64_t>(byte & 0x7f) << (7 * i);
    if ((byte & 0x80) == 0) return Scan::kWhole;
  }
  return Scan::kBad;
}

// The size of the longest prefix of whole records, in *whole.
Scan ScanRecords(const std::string& bytes, size_t* whole) {
  size_t pos = 0;
  *whole = 0;
  while (pos < bytes.size()) {
    if (static_cast<unsigned char>(bytes[pos]) != kRecordTag) return Scan::kBad;
    ++pos;
    uint64_t size = 0;
    const Scan scan = ReadVarint(bytes, &pos, &size);
    if (scan != Scan::kWhole) return scan;
    if (size > bytes.size() - pos) return Scan::kTorn;
    pos += static_cast<size_t>(size);
    *whole = pos;
  }
  return Scan::kWhole;
}

}  // namespace

void AppendDetectionRecord(const ::talvenrook::vision::v1::VisionResult& result,
                           std::string* bytes) {
  uint64_t size = result.ByteSizeLong();
  bytes->push_back(static_cast<char>(kRecordTag));
  while (size >= 0x80) {
    bytes->push_back(static_cast<char>((size & 0x7f) | 0x80));
    size >>= 7;
  }
  bytes->push_back(static_cast<char>(size));
  result.AppendToString(bytes);
}

bool ParseDetectionRecords(const std::string& bytes,
                           ::talvenrook::vision::v1::VisionResultList* results,
                           size_t* torn_bytes) {
  *torn_bytes = 0;
  // A whole file parses at once, whatever it holds.
  if (results->ParseFromString(bytes)) return true;
  results->Clear();
  size_t whole = 0;
  if (ScanRecords(bytes, &whole) != Scan::kTorn) return false;
  if (!results->ParseFromArray(bytes.data(), static_cast<int>(whole))) {
    results->Clear();
    return false;
  }
  *torn_bytes = bytes.size() - whole;
  return true;
}

std::string TornRecordNote(size_t torn_bytes) {
  return "ignored a torn last record of " + std::to_string(torn_bytes) +
         " bytes";
}

}  // namespace vostek_kestu
