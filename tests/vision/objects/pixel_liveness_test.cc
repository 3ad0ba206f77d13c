// Evidence of life from the pixels in a box: a still thing stays hidden, a
// thing whose pixels change shows up, and someone passing in front of a
// still thing does not bring it to life.
#include "vision/objects/pixel_liveness.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "vision/tracking/tracking_clock.h"

namespace talvenrook_vision {
namespace {

// A grey frame with a fixed texture everywhere (a still scene).
cv::Mat Scene() {
  cv::Mat frame(240, 320, CV_8UC3);
  cv::RNG rng(7);
  rng.fill(frame, cv::RNG::UNIFORM, 40, 200);
  cv::GaussianBlur(frame, frame, cv::Size(5, 5), 0);
  return frame;
}

// Stripes that move a few pixels each frame (limbs of someone walking).
void Walker(cv::Mat* frame, const cv::Rect& box, int step) {
  for (int y = box.y; y < box.y + box.height; ++y) {
    const int shade = ((y + 3 * step) / 4) % 2 ? 230 : 30;
    cv::line(*frame, cv::Point(box.x, y), cv::Point(box.x + box.width - 1, y),
             cv::Scalar::all(shade));
  }
}

TEST(PixelLivenessTest, StillThingsStayHiddenAndChangingOnesShowUp) {
  const cv::Rect still(40, 60, 30, 60);
  const cv::Rect walker(200, 60, 30, 60);
  struct Case {
    std::string name;
    int min_change;
    // The boxes the detector gives on step i, drawn on the frame first.
    std::function<std::vector<cv::Rect>(int, cv::Mat*)> step;
    std::vector<bool> confirmed;  // by box order, after 55 steps
  };
  const std::vector<Case> cases = {
      {"a still box and a walker",
       8,
       [&](int i, cv::Mat* frame) {
         Walker(frame, walker, i);
         return std::vector<cv::Rect>{still, walker};
       },
       {false, true}},
      {"the same with the key off: both shown",
       0,
       [&](int i, cv::Mat* frame) {
         Walker(frame, walker, i);
         return std::vector<cv::Rect>{still, walker};
       },
       {true, true}},
      {"a walker passing in front of a still thing",
       8,
       [&](int i, cv::Mat* frame) {
         // Alive first, then across the lower part of the still box from
         // step 37 on.
         const cv::Rect passer(150 - 3 * std::max(0, i - 10), 80, 30, 60);
         Walker(frame, passer, i);
         return std::vector<cv::Rect>{still, passer};
       },
       {false, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManualTrackingClock clock;
    Tracker tracker(&clock);
    Tracker::Parameters p;
    p.frames_to_count = 3;
    p.frames_to_discard = 15;
    p.min_change = c.min_change;
    tracker.Configure(p);
    Entity config;
    (*config.mutable_properties())["tracker_min_change"].set_integer_value(
        c.min_change);
    PixelLiveness liveness;
    liveness.Configure(config);
    std::vector<int32_t> ids;
    for (int i = 0; i < 55; ++i) {
      cv::Mat frame = Scene();
      const std::vector<cv::Rect> boxes = c.step(i, &frame);
      tracker.Update(boxes);
      liveness.Judge(frame, &tracker);
    }
    std::vector<bool> confirmed;
    for (const Track& track : tracker.tracks()) {
      confirmed.push_back(tracker.Confirmed(track));
    }
    EXPECT_EQ(confirmed, c.confirmed);
  }
}

}  // namespace
}  // namespace talvenrook_vision
