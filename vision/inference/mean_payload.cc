#include "vision/inference/mean_payload.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "absl/strings/str_cat.h"
#include "vision/config/setup_status.h"

namespace talvenrook_vision {
namespace {

int32_t ReadInt32LittleEndian(const std::string& bytes, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) {
    v = (v << 8) | static_cast<uint8_t>(bytes[offset + i]);
  }
  return static_cast<int32_t>(v);
}

}  // namespace

// Parses the raw mean record: int32 channels C, rows R, columns W, then C
// planes of R x W floats. The planes are merged into one C-channel image.
absl::StatusOr<cv::Mat> ParseMeanPayload(const std::string& bytes) {
  if (bytes.size() < 12) {
    return SetupError(
        absl::StrCat("Mean payload is too short: ", bytes.size(), " bytes"));
  }
  const int32_t channels = ReadInt32LittleEndian(bytes, 0);
  const int32_t rows = ReadInt32LittleEndian(bytes, 4);
  const int32_t cols = ReadInt32LittleEndian(bytes, 8);
  if (channels < 1 || channels > CV_CN_MAX || rows < 1 || cols < 1) {
    return SetupError(absl::StrCat("Mean payload has an invalid header: ",
                                   channels, " x ", rows, " x ", cols));
  }
  const uint64_t plane = static_cast<uint64_t>(rows) * cols;
  const uint64_t needed = 12 + 4 * plane * static_cast<uint64_t>(channels);
  if (plane > (1ULL << 40) || bytes.size() < needed) {
    return SetupError(absl::StrCat(
        "Mean payload is shorter than its header announces: ", bytes.size(),
        " of ", needed, " bytes"));
  }
  std::vector<cv::Mat> planes;
  planes.reserve(channels);
  for (int32_t c = 0; c < channels; ++c) {
    cv::Mat p(rows, cols, CV_32F);
    std::memcpy(p.ptr<float>(), bytes.data() + 12 + 4 * plane * c, 4 * plane);
    planes.push_back(p);
  }
  cv::Mat mean;
  cv::merge(planes, mean);
  return mean;
}

}  // namespace talvenrook_vision
