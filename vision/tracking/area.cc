#include "vision/tracking/area.h"

#include <utility>

#include <opencv2/imgproc.hpp>

namespace talvenrook_vision {

Area::Area(std::vector<cv::Point> polygon, bool repeat, bool timed)
    : polygon_(std::move(polygon)), repeat_(repeat), timed_(timed) {}

const Area::TrackState* Area::State(int32_t track_id) const {
  auto it = tracks_.find(track_id);
  return it == tracks_.end() ? nullptr : &it->second;
}

bool Area::StrictlyInside(const cv::Point& p) const {
  if (polygon_.empty()) return false;
  return cv::pointPolygonTest(polygon_, cv::Point2f(p), false) > 0;
}

int Area::Check(int32_t track_id, const cv::Point& center, uint64_t tick) {
  auto found = tracks_.find(track_id);
  if (found == tracks_.end()) {
    found = tracks_.emplace(track_id, TrackState()).first;
    found->second.timed = timed_;
  }
  TrackState& state = found->second;
  if (state.exited) {
    state.exited = false;
    state.entered_now = false;
    state.entry = state.exit = cv::Point();
    state.entry_tick = state.exit_tick = 0;
  }
  state.entered_now = false;
  if (state.done && !repeat_) return kAlreadyExited;
  const bool inside = StrictlyInside(center);
  const cv::Point none(0, 0);
  if (!inside && state.entry != none) {
    state.exit = center;
    state.done = true;
    state.exited = true;
    if (state.timed) state.exit_tick = tick;
  } else if (inside && state.entry == none) {
    state.entry = center;
    state.entered_now = true;
    if (state.timed) state.entry_tick = tick;
  }
  if (state.entered_now) return kEntered;
  if (state.exited) return kExited;
  return inside ? kInside : kOutside;
}

}  // namespace talvenrook_vision
