// What the face pipeline writes into its results besides the recognitions:
// fresh UUIDs, the tracking id under which a person track is reported, and
// box locations.
#ifndef VISION_FACE_RESULT_IDS_H_
#define VISION_FACE_RESULT_IDS_H_

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

#include "talvenrook/vision/v1/vision.pb.h"
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

// Writes a pixel box into a result's location.
inline void SetLocation(const cv::Rect& box,
                        ::talvenrook::vision::v1::Rectangle* location) {
  location->set_x(box.x);
  location->set_y(box.y);
  location->set_width(box.width);
  location->set_height(box.height);
}

}  // namespace talvenrook_vision

#endif  // VISION_FACE_RESULT_IDS_H_
