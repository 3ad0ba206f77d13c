// The raw mean record a model may bring ("input_mean_file" or
// "input_mean"): little-endian int32 channel count C, rows R and columns W,
// then C planes of R x W 32-bit floats, row by row (12 + 4·C·R·W bytes).
#ifndef VISION_INFERENCE_MEAN_PAYLOAD_H_
#define VISION_INFERENCE_MEAN_PAYLOAD_H_

#include <string>

#include <opencv2/core.hpp>

#include "absl/status/statusor.h"

namespace talvenrook_vision {

// The planes merged into one C-channel float image, or why the payload is
// refused (a header out of range, fewer bytes than it announces).
absl::StatusOr<cv::Mat> ParseMeanPayload(const std::string& bytes);

}  // namespace talvenrook_vision

#endif  // VISION_INFERENCE_MEAN_PAYLOAD_H_
