// HandOver: what a producer thread gives a consumer thread, oldest first,
// with at most `limit` items between them (as the driver's frame queue
// carries begun frames from its capture thread to its detection thread).
//
//   HandOver<std::unique_ptr<FrameWork>> works(5);
//   std::thread producer([&] { works.Push(pipeline.Begin(frame, true)); });
//   pipeline.Finish(works.Pop(), request, frame);
#ifndef TESTS_TESTING_HAND_OVER_H_
#define TESTS_TESTING_HAND_OVER_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

namespace kestu_testing {

template <typename T>
class HandOver {
 public:
  explicit HandOver(size_t limit) : limit_(limit) {}

  // Waits for room.
  void Push(T item) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return items_.size() < limit_; });
    items_.push_back(std::move(item));
    changed_.notify_all();
  }
  // Waits for an item.
  T Pop() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !items_.empty(); });
    T item = std::move(items_.front());
    items_.pop_front();
    changed_.notify_all();
    return item;
  }
  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
  }

 private:
  const size_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<T> items_;
};

}  // namespace kestu_testing

#endif  // TESTS_TESTING_HAND_OVER_H_
