// A counting zone: the line from A to B thickened into a band of `height`
// pixels. A track whose centre passes through the band from one boundary
// line to the other produces one crossing, forward or backward.
//
// The first boundary line runs from corner0 to corner3, the second from
// corner1 to corner2; for a line drawn from left to right on the image the
// first lies below it and the second above it. Forward is from the first
// line across the second.
//
// Contract: Check keeps a small state per track id until Forget. With
// repeat false (the default of zones built from configuration) a track
// produces at most one crossing per zone. With repeat true (the zone key
// "repeat") it produces one for every full pass through the band, in
// either direction; after a crossing the track must pass through the whole
// band again, so a centre that dithers at a line never counts twice, and a
// track first seen inside the band counts from its next full pass. A
// centre at exactly (0, 0) counts as never seen. Not thread-safe.
//
// Opt-in hand-over (set_hand_over, the zone key "hand_over_frames"): a
// track forgotten half way through the band (one boundary crossed, no
// crossing yet) leaves its state for that many frames (EndFrame counts
// them); a new track first seen within a band's height and 20 pixels of
// where it was last takes that state over, so that a person whose track
// broke inside the band, and who goes on as a new track inside it or
// beyond its far line, counts once, and one first seen inside the band
// is not lost.
#ifndef VISION_TRACKING_ZONE_H_
#define VISION_TRACKING_ZONE_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <opencv2/core.hpp>

namespace talvenrook_vision {

// The standard orientation test on 32-bit coordinates: 0 collinear, 1 for a
// positive and 2 for a negative (q - p) x (r - q) turn (y downwards).
int Orientation(const cv::Point& p, const cv::Point& q, const cv::Point& r);
// True when segment p1-q1 meets segment p2-q2, ends included.
bool SegmentsIntersect(const cv::Point& p1, const cv::Point& q1,
                       const cv::Point& p2, const cv::Point& q2);

class Zone {
 public:
  enum Code : int {
    kForward = 0,        // crossed the first line, then the second
    kBackward = 1,       // crossed the second line, then the first
    kEnteredSecond = 2,  // entered the band across the second line
    kEnteredFirst = 3,   // entered the band across the first line
    kInside = 4,         // both lines crossed, or first seen inside
    kNothing = 5,
    kAlreadyReported = 6,
  };

  struct TrackState {
    bool crossed_first = false;
    bool crossed_second = false;
    cv::Point last;  // (0, 0): never seen
    bool reported = false;
    bool done = false;
  };

  Zone(const cv::Point& a, const cv::Point& b, int height, std::string name,
       bool repeat = false);

  // Advances the track's state with its new centre and returns the code.
  // Only kForward and kBackward are events.
  int Check(int32_t track_id, const cv::Point& center);
  void Forget(int32_t track_id);
  // Ages the states left by forgotten tracks (see hand-over); call once
  // per frame.
  void EndFrame();
  void set_hand_over(int frames) { hand_over_frames_ = frames; }
  int hand_over_frames() const { return hand_over_frames_; }
  // What the operator calls the two directions ("in", "out"); empty when
  // the configuration does not name them.
  void set_direction_names(std::string forward, std::string backward) {
    forward_name_ = std::move(forward);
    backward_name_ = std::move(backward);
  }
  const std::string& forward_name() const { return forward_name_; }
  const std::string& backward_name() const { return backward_name_; }
  size_t TrackCount() const { return tracks_.size(); }

  const std::string& name() const { return name_; }
  // The ends of the counting line.
  const cv::Point& a() const { return a_; }
  const cv::Point& b() const { return b_; }
  bool repeat() const { return repeat_; }
  // The band thickness in pixels, as given.
  int height() const { return height_; }
  const cv::Point& corner0() const { return corner0_; }
  const cv::Point& corner1() const { return corner1_; }
  const cv::Point& corner2() const { return corner2_; }
  const cv::Point& corner3() const { return corner3_; }
  const TrackState* State(int32_t track_id) const;

 private:
  int FirstSight(TrackState* state, const cv::Point& p) const;
  // Strictly between the two boundary lines (taken as infinite lines).
  bool InsideBand(const cv::Point& p) const;

  // The state of a forgotten track half way through the band.
  struct Left {
    TrackState state;
    int age = 0;  // frames since it was left
  };
  static constexpr size_t kMaxLeft = 32;
  // Takes over the state of a track left near `p`; false when none is.
  bool TakeOver(TrackState* state, const cv::Point& p);

  std::unordered_map<int32_t, TrackState> tracks_;
  std::vector<Left> left_;
  int hand_over_frames_ = 0;
  cv::Point a_, b_;
  cv::Point corner0_, corner3_, corner1_, corner2_;
  bool repeat_;
  int height_;
  std::string name_;
  std::string forward_name_;
  std::string backward_name_;
};

}  // namespace talvenrook_vision

#endif  // VISION_TRACKING_ZONE_H_
