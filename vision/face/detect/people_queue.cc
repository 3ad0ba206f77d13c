#include "vision/face/detect/people_queue.h"

#include <utility>

namespace talvenrook_vision {

void PeopleQueue::Push(FramePeople people) {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.push_back(std::move(people));
  while (frames_.size() > kMaxPendingFrames) frames_.pop_front();
}

bool PeopleQueue::Take(int64_t frame_number, FramePeople* people) {
  std::lock_guard<std::mutex> lock(mutex_);
  while (!frames_.empty() && frames_.front().frame_number < frame_number)
    frames_.pop_front();
  if (frames_.empty() || frames_.front().frame_number != frame_number)
    return false;
  *people = std::move(frames_.front());
  frames_.pop_front();
  return true;
}

size_t PeopleQueue::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_.size();
}

}  // namespace talvenrook_vision
