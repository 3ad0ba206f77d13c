// Small video files whose frames carry their own number, for checking the
// order and the drops of frame sources.
#ifndef TESTS_VISION_VIDEO_NUMBERED_VIDEO_H_
#define TESTS_VISION_VIDEO_NUMBERED_VIDEO_H_

#include <string>

#include <opencv2/core.hpp>

namespace talvenrook_vision {
namespace testing {

constexpr int kNumberedVideoWidth = 64;
constexpr int kNumberedVideoHeight = 48;

// A motion-JPEG .avi of `frames` uniform grey frames, numbered first,
// first + 1, ...; at most 63 numbers fit. Written into the test's temporary
// directory under a name unique to this process; removed by the destructor.
class NumberedVideo {
 public:
  NumberedVideo(const std::string& name, int frames, int first = 0);
  ~NumberedVideo();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The number a frame of a NumberedVideo carries.
int FrameNumber(const cv::Mat& frame);

}  // namespace testing
}  // namespace talvenrook_vision

#endif  // TESTS_VISION_VIDEO_NUMBERED_VIDEO_H_
