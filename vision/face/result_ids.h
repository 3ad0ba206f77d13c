// Identifiers written into the face pipeline's results: fresh UUIDs, and the
// tracking id under which a person track is reported.
#ifndef VISION_FACE_RESULT_IDS_H_
#define VISION_FACE_RESULT_IDS_H_

#include <cstdint>
#include <string>

namespace talvenrook_vision {

// Person tracks are reported with this offset added to their ids; their
// tracker reserves id + offset in the shared counter, so no face track ever
// gets a reported person id.
constexpr int32_t kPersonIdOffset = 0x10000;

inline uint64_t ReportedPersonId(int32_t person_id) {
  return static_cast<uint64_t>(static_cast<uint32_t>(person_id)) +
         static_cast<uint64_t>(kPersonIdOffset);
}

// A random version-4 UUID in lower-case 8-4-4-4-12 hexadecimal, from a
// generator seeded once per process from the system's random device.
// Thread-safe.
std::string NewUuid();

}  // namespace talvenrook_vision

#endif  // VISION_FACE_RESULT_IDS_H_
