#include "tests/vision/video/numbered_video.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

namespace talvenrook_vision {
namespace testing {
namespace {

// Grey levels per frame number: wide enough to survive JPEG compression.
constexpr int kLevelsPerNumber = 4;

}  // namespace

NumberedVideo::NumberedVideo(const std::string& name, int frames, int first)
    : path_(::testing::TempDir() + name + "_" + std::to_string(getpid()) +
            ".avi") {
  cv::VideoWriter writer(path_, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'),
                         25.0,
                         cv::Size(kNumberedVideoWidth, kNumberedVideoHeight));
  EXPECT_TRUE(writer.isOpened()) << path_;
  for (int i = 0; i < frames; ++i) {
    writer.write(cv::Mat(kNumberedVideoHeight, kNumberedVideoWidth, CV_8UC3,
                         cv::Scalar::all((first + i) * kLevelsPerNumber)));
  }
}

NumberedVideo::~NumberedVideo() { std::remove(path_.c_str()); }

int FrameNumber(const cv::Mat& frame) {
  if (frame.empty()) return -1;
  return static_cast<int>(std::lround(cv::mean(frame)[0] / kLevelsPerNumber));
}

}  // namespace testing
}  // namespace talvenrook_vision
