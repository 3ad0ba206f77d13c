// One live or candidate track of a Tracker, also the element type of the
// list of ended tracks. Copied by value.
#ifndef VISION_TRACKING_TRACK_H_
#define VISION_TRACKING_TRACK_H_

#include <cstdint>

#include <opencv2/core.hpp>

namespace talvenrook_vision {

// Id of a candidate that a match consumed in the current frame.
constexpr int32_t kConsumedTrackId = -999;
// Id of a candidate not yet born.
constexpr int32_t kCandidateTrackId = -1;

struct Track {
  cv::Rect box;        // last matched detection, frame pixels
  cv::Scalar colour;   // drawing colour derived from the id (B, G, R, 0)
  cv::Mat descriptor;  // CV_32F row vector; running mean; empty if none
  bool flag = true;    // the caller's per-detection flag of the last match
  int32_t descriptor_count = 0;
  int32_t class_index = 0;
  int32_t id = kCandidateTrackId;
  bool updated = false;  // matched or kept alive in the current frame
  float missed = 0.0f;   // consecutive frames without a match
  int32_t hits = 0;      // frames matched, counting the birth frame
  cv::Point center;      // box centre, integer halves
  float max_score = 0.0f;
  float last_score = 0.0f;
  float tracked_seconds = 0.0f;  // first re-match to latest match
  int64_t interval_count = 0;
  int64_t accumulated_ticks = 0;
  int64_t last_tick = 0;  // 0 until the first re-match
  // Where the tracker's motion model expects the object in the current
  // frame (empty without a motion model). Matching compares detections
  // with it; it is never reported as a detection.
  cv::Rect predicted;
  cv::Rect birth_box;  // the detection the track was born on
  // The centre has been at least the tracker's minimum travel away from
  // the centre of birth_box (always true without a minimum travel).
  bool moved = true;
};

// (c & 0x7F, (c >> 8) & 0x7F, (c >> 16) & 0xDC, 0) with
// c = id * 0xD523648A in wrapping unsigned 32-bit arithmetic.
cv::Scalar TrackColour(int32_t id);

// x + width / 2, y + height / 2 with integer division.
inline cv::Point BoxCenter(const cv::Rect& box) {
  return cv::Point(box.x + box.width / 2, box.y + box.height / 2);
}

}  // namespace talvenrook_vision

#endif  // VISION_TRACKING_TRACK_H_
