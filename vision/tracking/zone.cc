#include "vision/tracking/zone.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace talvenrook_vision {
namespace {

// q lies within the bounding box of segment p-r.
bool OnSegment(const cv::Point& p, const cv::Point& q, const cv::Point& r) {
  return q.x <= std::max(p.x, r.x) && q.x >= std::min(p.x, r.x) &&
         q.y <= std::max(p.y, r.y) && q.y >= std::min(p.y, r.y);
}

// Signed area test of p against the line through `from` and `to`, in 64
// bits so that no coordinate can overflow it.
int64_t Side(const cv::Point& p, const cv::Point& from, const cv::Point& to) {
  return static_cast<int64_t>(p.x - to.x) * (to.y - from.y) -
         static_cast<int64_t>(to.x - from.x) * (p.y - to.y);
}

}  // namespace

int Orientation(const cv::Point& p, const cv::Point& q, const cv::Point& r) {
  const int64_t value = static_cast<int64_t>(q.y - p.y) * (r.x - q.x) -
                        static_cast<int64_t>(r.y - q.y) * (q.x - p.x);
  if (value == 0) return 0;
  return value > 0 ? 1 : 2;
}

bool SegmentsIntersect(const cv::Point& p1, const cv::Point& q1,
                       const cv::Point& p2, const cv::Point& q2) {
  const int o1 = Orientation(p1, q1, p2);
  const int o2 = Orientation(p1, q1, q2);
  const int o3 = Orientation(p2, q2, p1);
  const int o4 = Orientation(p2, q2, q1);
  if (o1 != o2 && o3 != o4) return true;
  return (o1 == 0 && OnSegment(p1, p2, q1)) ||
         (o2 == 0 && OnSegment(p1, q2, q1)) ||
         (o3 == 0 && OnSegment(p2, p1, q2)) ||
         (o4 == 0 && OnSegment(p2, q1, q2));
}

Zone::Zone(const cv::Point& a, const cv::Point& b, int height, std::string name,
           bool repeat)
    : a_(a), b_(b), repeat_(repeat), height_(height), name_(std::move(name)) {
  const cv::Point2f center((a.x + b.x) / 2, (a.y + b.y) / 2);
  const double length =
      std::sqrt(std::pow(a.y - b.y, 2) + std::pow(a.x - b.x, 2));
  const double angle =
      std::atan2(b.y - a.y, b.x - a.x) * 180.0 / 3.1415927410125732;
  cv::Point2f corners[4];
  cv::RotatedRect(center, cv::Size2f(static_cast<float>(length), height),
                  static_cast<float>(angle))
      .points(corners);
  // cv::Point2f -> cv::Point rounds; the band corners are truncated.
  auto truncate = [](const cv::Point2f& p) {
    return cv::Point(static_cast<int>(p.x), static_cast<int>(p.y));
  };
  corner0_ = truncate(corners[0]);
  corner1_ = truncate(corners[1]);
  corner2_ = truncate(corners[2]);
  corner3_ = truncate(corners[3]);
}

const Zone::TrackState* Zone::State(int32_t track_id) const {
  auto it = tracks_.find(track_id);
  return it == tracks_.end() ? nullptr : &it->second;
}

bool Zone::InsideBand(const cv::Point& p) const {
  // On the inner side of the first line (positive) and of the second line
  // (negative).
  return Side(p, corner0_, corner3_) > 0 && Side(p, corner1_, corner2_) < 0;
}

int Zone::FirstSight(TrackState* state, const cv::Point& p) const {
  state->last = p;
  if (InsideBand(p)) {
    state->crossed_first = true;
    state->crossed_second = true;
    return kInside;
  }
  return kNothing;
}

void Zone::Forget(int32_t track_id) {
  const auto found = tracks_.find(track_id);
  if (found == tracks_.end()) return;
  const TrackState& state = found->second;
  if (hand_over_frames_ > 0 && state.crossed_first != state.crossed_second &&
      !state.reported && !(state.done && !repeat_)) {
    if (left_.size() >= kMaxLeft) left_.erase(left_.begin());
    left_.push_back({state, 0});
  }
  tracks_.erase(found);
}

void Zone::EndFrame() {
  for (Left& left : left_) ++left.age;
  left_.erase(std::remove_if(left_.begin(), left_.end(),
                             [this](const Left& left) {
                               return left.age > hand_over_frames_;
                             }),
              left_.end());
}

bool Zone::TakeOver(TrackState* state, const cv::Point& p) {
  const double reach = height_ + 20.0;
  auto nearest = left_.end();
  double best = reach * reach;
  for (auto it = left_.begin(); it != left_.end(); ++it) {
    const double dx = it->state.last.x - p.x;
    const double dy = it->state.last.y - p.y;
    if (dx * dx + dy * dy <= best) {
      best = dx * dx + dy * dy;
      nearest = it;
    }
  }
  if (nearest == left_.end()) return false;
  *state = nearest->state;
  left_.erase(nearest);
  return true;
}

int Zone::Check(int32_t track_id, const cv::Point& p) {
  TrackState& state = tracks_[track_id];
  if (state.last == cv::Point(0, 0)) {
    // A track that goes on from one forgotten half way through the band
    // carries on from where that one was.
    if (left_.empty() || !TakeOver(&state, p)) return FirstSight(&state, p);
  }
  if (state.reported) {
    state.crossed_first = false;
    state.crossed_second = false;
    state.reported = false;
  }
  if (state.done && !repeat_) return kAlreadyReported;
  if (repeat_ && state.crossed_first && state.crossed_second &&
      !InsideBand(p)) {
    // First seen inside the band and now out of it: the next pass through
    // the band counts.
    state.crossed_first = false;
    state.crossed_second = false;
    state.last = p;
    return kNothing;
  }
  const bool x1 = !state.crossed_first &&
                  SegmentsIntersect(state.last, p, corner0_, corner3_);
  const bool x2 = !state.crossed_second &&
                  SegmentsIntersect(state.last, p, corner1_, corner2_);
  int code;
  if (state.crossed_first && x2) {
    code = kForward;
  } else if (!state.crossed_first && !state.crossed_second && x1 && x2) {
    // Both lines in one step: the side of the previous centre decides.
    code =
        Orientation(corner0_, corner3_, state.last) == 2 ? kForward : kBackward;
  } else if (state.crossed_second && x1) {
    code = kBackward;
  } else if (!state.crossed_second) {
    code = x2                            ? kEnteredSecond
           : (state.crossed_first || x1) ? kEnteredFirst
                                         : kNothing;
  } else {
    code = state.crossed_first ? kInside : kEnteredSecond;
  }
  state.last = p;
  state.crossed_first |= x1;
  state.crossed_second |= x2;
  state.reported = code < 2;
  if (code < 2) state.done = true;
  return code;
}

}  // namespace talvenrook_vision
