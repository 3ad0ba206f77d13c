#include "vision/tracking/track.h"

namespace talvenrook_vision {

cv::Scalar TrackColour(int32_t id) {
  const uint32_t c = static_cast<uint32_t>(id) * 0xD523648Au;
  return cv::Scalar(c & 0x7F, (c >> 8) & 0x7F, (c >> 16) & 0xDC, 0);
}

}  // namespace talvenrook_vision
