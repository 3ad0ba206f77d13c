// What the face pipeline writes into its results besides the recognitions:
// fresh UUIDs, the tracking id under which a person track is reported, and
// box locations.
#ifndef VISION_FACE_COMMON_RESULT_IDS_H_
#define VISION_FACE_COMMON_RESULT_IDS_H_

#include <cstdint>
#include <string>

#include "vision/analytics/result_location.h"
#include "vision/config/uuid.h"

namespace talvenrook_vision {

// Person tracks are reported with this offset added to their ids; their
// tracker reserves id + offset in the shared counter, so no face track ever
// gets a reported person id.
constexpr int32_t kPersonIdOffset = 0x10000;

inline uint64_t ReportedPersonId(int32_t person_id) {
  return static_cast<uint64_t>(static_cast<uint32_t>(person_id)) +
         static_cast<uint64_t>(kPersonIdOffset);
}

}  // namespace talvenrook_vision

#endif  // VISION_FACE_COMMON_RESULT_IDS_H_
