// CheckDarknetText: the checks a Darknet network text must pass before
// OpenCV's reader is given it. That reader indexes layers and divides by
// strides as the text says, without bounds: a route to a layer that does
// not exist reads out of bounds, a stride of 0 divides by zero, and a
// number far out of range allocates gigabytes or wraps around.
//
// Refused, with the section ("layer #5 [route]") and the key:
//  - a number whose magnitude exceeds kMaxNumber (kMaxFilters for
//    "filters" and "output");
//  - a "size", "stride" or "groups" below 1 where the layer divides by it;
//  - a route "layers" or shortcut "from" that names no earlier layer;
//  - a yolo "mask" index outside its "num" anchors.
//
//   std::string reason = CheckDarknetText(cfg_text);  // "" when acceptable
#ifndef VISION_INFERENCE_DARKNET_TEXT_CHECK_H_
#define VISION_INFERENCE_DARKNET_TEXT_CHECK_H_

#include <string>

namespace talvenrook_vision {

inline constexpr long kMaxDarknetNumber = 100000;
inline constexpr long kMaxDarknetFilters = 8192;

std::string CheckDarknetText(const std::string& text);

}  // namespace talvenrook_vision

#endif  // VISION_INFERENCE_DARKNET_TEXT_CHECK_H_
