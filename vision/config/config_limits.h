// CheckConfigurationSize: bounds on the size of a pipeline configuration,
// checked before anything of it is applied or kept.
//
// A client may send any message up to the channel's byte limit, and a list
// of a million zone points fits in a few megabytes; pipelines would copy it,
// draw it and test every track against it on every frame. The check walks
// the configuration map and every model's maps (bytes are not counted) and
// refuses, with the path of the offending value:
//  - a list of more than kMaxListLength elements,
//  - more than kMaxValues values in all,
//  - values nested more than kMaxDepth levels deep.
//
//   absl::Status size = CheckConfigurationSize(config.kestu_eye_config());
//   // size.message(): "\"areas\" element #2 has 1000000 elements (at most
//   //                  10000)"
#ifndef VISION_CONFIG_CONFIG_LIMITS_H_
#define VISION_CONFIG_CONFIG_LIMITS_H_

#include <cstdint>

#include "talvenrook/kestu/v1/kestueye.pb.h"
#include "vision/config/setup_status.h"

namespace talvenrook_vision {

constexpr int kMaxListLength = 10000;
constexpr int64_t kMaxValues = 200000;
constexpr int kMaxDepth = 32;

absl::Status CheckConfigurationSize(
    const ::talvenrook::kestu::v1::kestueye::KestuEyeConfig& config);

}  // namespace talvenrook_vision

#endif  // VISION_CONFIG_CONFIG_LIMITS_H_
