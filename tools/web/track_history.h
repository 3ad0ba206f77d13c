// TrackHistory: the tracked boxes of each driver's streamed frames over the
// last few minutes, for recounting with lines that were never configured.
//
// A streamed result carries every tracked detection of its frame. For each
// (process, driver) the history keeps, oldest first, one 16-byte head per
// frame (arrival time, box count) and one 12-byte box per detection
// (tracking id, x, y, width, height in frame pixels, clamped to 16 bits).
// Frames older than the window are dropped, and so are the oldest frames
// once a driver holds more than `max_boxes` boxes or kMaxFrames frames; a
// frame keeps at most kMaxBoxesPerFrame boxes. So one driver's history
// never takes more than about 12 * max_boxes + 16 * kMaxFrames bytes (with
// the default 2,000,000 boxes: 24 MB + 3.5 MB), whatever the frame rate and
// the crowd; an hour at 10 frames per second with 20 people is 720,000
// boxes (8.6 MB).
//
// Thread-safe.
#ifndef TOOLS_WEB_TRACK_HISTORY_H_
#define TOOLS_WEB_TRACK_HISTORY_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "talvenrook/vision/v1/vision_service.pb.h"

namespace kestu_tools {

// Frames of tracked boxes, as the history and uploaded recordings hold
// them for recounting.
struct TrackBox {
  int32_t id = 0;
  int16_t x = 0;
  int16_t y = 0;
  int16_t width = 0;
  int16_t height = 0;
};
struct TrackFrames {
  std::vector<double> times;     // per frame, seconds (any origin)
  std::vector<uint32_t> counts;  // boxes per frame
  std::vector<TrackBox> boxes;   // all frames' boxes, in order
};

// Appends the frame's tracked detections (at most `limit`) to `frames`.
void AppendFrame(const ::talvenrook::vision::v1::VisionResult& result,
                 double time, size_t limit, TrackFrames* frames);

class TrackHistory {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kMaxFrames = 216000;  // an hour at 60 fps
  static constexpr size_t kMaxBoxesPerFrame = 512;
  static constexpr size_t kDefaultMaxBoxes = 2000000;

  TrackHistory(std::chrono::minutes window,
               size_t max_boxes = kDefaultMaxBoxes);

  void Add(const std::string& process, const std::string& driver,
           const ::talvenrook::vision::v1::VisionResult& result,
           Clock::time_point received = Clock::now());
  // A copy of the driver's frames within the window; times are seconds
  // since `now`'s clock epoch.
  TrackFrames Copy(const std::string& process, const std::string& driver,
                   Clock::time_point now = Clock::now()) const;

  // Boxes held for a driver (for tests and the memory bound).
  size_t BoxCount(const std::string& process, const std::string& driver) const;

 private:
  struct Head {
    double time = 0.0;
    uint32_t count = 0;
  };
  struct Driver {
    std::deque<Head> heads;
    std::deque<TrackBox> boxes;
  };
  void Trim(Driver* driver, double oldest) const;

  const double window_seconds_;
  const size_t max_boxes_;
  mutable std::mutex mutex_;  // guards drivers_
  std::map<std::pair<std::string, std::string>, Driver> drivers_;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_TRACK_HISTORY_H_
