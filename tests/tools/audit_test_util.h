// Helpers of the audit and snapshot tests: temporary paths, zone exits as
// a crowd driver publishes them, and streamed frames with a person in them.
#ifndef TESTS_TOOLS_AUDIT_TEST_UTIL_H_
#define TESTS_TOOLS_AUDIT_TEST_UTIL_H_

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "talvenrook/vision/v1/vision_service.pb.h"

namespace kestu_tools {
namespace audit_test {

namespace v1 = ::talvenrook::vision::v1;

// A fresh path under the test's temporary folder (what was there removed);
// the test program's paths are removed when it ends.
inline std::string TempPath(const std::string& name) {
  const std::string prefix =
      ::testing::TempDir() + "kestu-audit-" + std::to_string(getpid()) + "-";
  static const bool cleaned = [] {
    std::atexit([] {
      const std::string all = ::testing::TempDir() + "kestu-audit-" +
                              std::to_string(getpid()) + "-*";
      std::system(("rm -rf " + all).c_str());
    });
    return true;
  }();
  (void)cleaned;
  const std::string path = prefix + name;
  std::system(
      ("rm -rf '" + path + "' '" + path + "-wal' '" + path + "-shm'").c_str());
  return path;
}

inline std::string Uuid(int n) {
  char text[40];
  std::snprintf(text, sizeof(text), "5a0d1e2f-0000-4000-8000-%012d", n);
  return text;
}

// The box of track `track` in the frames below: it moves right as the
// track number grows, so that each crossing's box is at its own place.
inline cv::Rect Box(int track) {
  return cv::Rect(100 + 20 * (track % 10), 120, 80, 200);
}

// The zone exit of `track` as the driver publishes it: the track's
// detection and the event, with the direction's name.
inline v1::VisionResult Exit(int track, v1::ZoneDirection direction,
                             int64_t seconds, int uuid) {
  v1::VisionResult result;
  result.set_uuid(Uuid(uuid));
  auto* detection = result.add_rect_detection();
  detection->set_type("person");
  detection->set_tracking_id(track);
  const cv::Rect box = Box(track);
  detection->mutable_location()->set_x(box.x);
  detection->mutable_location()->set_y(box.y);
  detection->mutable_location()->set_width(box.width);
  detection->mutable_location()->set_height(box.height);
  auto* event = result.add_vision_event();
  event->set_tag(v1::ZONE_EXIT);
  event->set_zone_name("walkway");
  event->set_zone_direction(direction);
  event->set_zone_direction_name(direction == v1::FORWARD ? "in" : "out");
  event->set_tracking_id(track);
  event->mutable_timestamp()->set_seconds(seconds);
  return result;
}

// A 640x480 JPEG: grey, a dark figure in the track's box.
inline std::string FrameJpeg(int track) {
  cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(150, 150, 150));
  cv::rectangle(frame, Box(track), cv::Scalar(40, 40, 40), cv::FILLED);
  std::vector<uchar> jpeg;
  cv::imencode(".jpg", frame, jpeg);
  return std::string(jpeg.begin(), jpeg.end());
}

// The frame a driver streams: the whole result of the frame (other
// detections too) with its JPEG.
inline v1::VisionResult Frame(const std::vector<v1::VisionResult>& parts,
                              int track) {
  v1::VisionResult frame;
  for (const auto& part : parts) {
    for (const auto& d : part.rect_detection()) *frame.add_rect_detection() = d;
    for (const auto& e : part.vision_event()) *frame.add_vision_event() = e;
  }
  auto* other = frame.add_rect_detection();  // someone else in the picture
  other->set_tracking_id(999);
  other->mutable_location()->set_x(500);
  other->mutable_location()->set_y(10);
  other->mutable_location()->set_width(40);
  other->mutable_location()->set_height(90);
  frame.mutable_result_image()->set_image(FrameJpeg(track));
  return frame;
}

// Whether the snapshot shows the box of `track` (drawn in yellow over the
// frame, made 320 wide) and is that small.
inline bool ShowsBox(const std::string& jpeg, int track, double scale = 0.5) {
  const cv::Mat picture = cv::imdecode(
      std::vector<uchar>(jpeg.begin(), jpeg.end()), cv::IMREAD_COLOR);
  if (picture.cols != 320 || picture.rows != 240) return false;
  const cv::Rect box = Box(track);
  const cv::Point left(static_cast<int>(box.x * scale),
                       static_cast<int>((box.y + box.height / 2) * scale));
  const cv::Vec3b edge = picture.at<cv::Vec3b>(left);
  const cv::Vec3b inside = picture.at<cv::Vec3b>(left + cv::Point(10, 0));
  // Yellow (B low, G and R high) on the edge; the dark figure inside.
  return edge[0] < 100 && edge[1] > 180 && edge[2] > 180 && inside[1] < 90;
}

}  // namespace audit_test
}  // namespace kestu_tools

#endif  // TESTS_TOOLS_AUDIT_TEST_UTIL_H_
