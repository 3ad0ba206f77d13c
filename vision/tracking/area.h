// A counting area: a polygon that a track's centre enters and leaves.
//
// Contract: Check keeps a small state per track id until Forget. A centre
// on the outline counts as outside. With repeat false (every area built
// from configuration) a track enters and exits at most once. When timed,
// the tick counts of entry and exit are kept in the track's state. A centre
// at exactly (0, 0) counts as not entered. Not thread-safe.
#ifndef VISION_TRACKING_AREA_H_
#define VISION_TRACKING_AREA_H_

#include <cstdint>
#include <unordered_map>
#include <vector>

#include <opencv2/core.hpp>

namespace talvenrook_vision {

class Area {
 public:
  enum Code : int {
    kEntered = 0,
    kExited = 1,
    kInside = 2,
    kOutside = 3,
    kAlreadyExited = 4,
  };

  struct TrackState {
    bool done = false;
    bool exited = false;
    bool entered_now = false;
    cv::Point entry;  // (0, 0): not entered
    cv::Point exit;
    bool timed = false;
    uint64_t entry_tick = 0;
    uint64_t exit_tick = 0;
  };

  explicit Area(std::vector<cv::Point> polygon, bool repeat = false,
                bool timed = false);

  // Advances the track's state with its new centre and returns the code;
  // `tick` is stored on entry and exit when the area is timed. Only
  // kEntered and kExited are events.
  int Check(int32_t track_id, const cv::Point& center, uint64_t tick = 0);
  void Forget(int32_t track_id) { tracks_.erase(track_id); }
  size_t TrackCount() const { return tracks_.size(); }

  const std::vector<cv::Point>& polygon() const { return polygon_; }
  const TrackState* State(int32_t track_id) const;

 private:
  bool StrictlyInside(const cv::Point& p) const;

  std::unordered_map<int32_t, TrackState> tracks_;
  std::vector<cv::Point> polygon_;
  bool repeat_;
  bool timed_;
};

}  // namespace talvenrook_vision

#endif  // VISION_TRACKING_AREA_H_
