// PeopleQueue: the people each detected frame held, handed from the
// detection thread (Push) to the result thread (Take) by frame number.
//
// At most kMaxPendingFrames frames wait: a frame whose result step never
// asks for its people cannot make the queue grow. Thread-safe.
#ifndef VISION_FACE_DETECT_PEOPLE_QUEUE_H_
#define VISION_FACE_DETECT_PEOPLE_QUEUE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include <opencv2/core.hpp>

namespace talvenrook_vision {

struct FramePeople {
  int64_t frame_number = 0;
  std::vector<cv::Rect> boxes;
  std::vector<float> scores;
};

class PeopleQueue {
 public:
  static constexpr size_t kMaxPendingFrames = 64;

  // Appends a frame's people (frames come in increasing order); the oldest
  // frames go beyond kMaxPendingFrames.
  void Push(FramePeople people);
  // Moves the people of `frame_number` into *people and drops the frames
  // before it; false, leaving *people as it is, when that frame was not
  // queued.
  bool Take(int64_t frame_number, FramePeople* people);
  size_t size() const;

 private:
  mutable std::mutex mutex_;  // guards frames_
  std::deque<FramePeople> frames_;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_DETECT_PEOPLE_QUEUE_H_
