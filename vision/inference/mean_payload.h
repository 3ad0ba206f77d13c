// The raw mean record a model may bring ("input_mean_file" or
// "input_mean"): little-endian int32 channel count C, rows R and columns W,
// then C planes of R x W 32-bit floats, row by row (12 + 4·C·R·W bytes).
#ifndef VISION_INFERENCE_MEAN_PAYLOAD_H_
#define VISION_INFERENCE_MEAN_PAYLOAD_H_

#include <string>

#include <opencv2/core.hpp>

namespace talvenrook_vision {

// Merges the planes into one C-channel float image. False, after an error
// line, for a header out of range or a payload shorter than it announces.
bool ParseMeanPayload(const std::string& bytes, cv::Mat* mean);

}  // namespace talvenrook_vision

#endif  // VISION_INFERENCE_MEAN_PAYLOAD_H_
