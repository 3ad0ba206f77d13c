#ifndef SRC_DRIVER_BOUNDED_QUEUE_H_
#define SRC_DRIVER_BOUNDED_QUEUE_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace vostek_kestu {

// A first-in first-out queue of at most `capacity` items between one
// producer and one consumer, whose waits are on a condition variable: the
// producer waits for room (WaitForRoom, then Push), the consumer for an
// item (Pop). Close ends both waits at once and makes them return at once
// until Open; the items stay queued.
//
// The producer's room is checked before its item is made (so that it can
// hand the item to someone else first): only one producer may use a queue.
// A capacity below 1 is taken as 1.
//
// Example: the driver's asynchronous frames, capacity "max_async_images".
template <typename T>
class BoundedQueue {
 public:
  explicit BoundedQueue(size_t capacity) : capacity_(Bound(capacity)) {}

  // Producers waiting for room look at the new capacity at once.
  void set_capacity(size_t capacity) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      capacity_ = Bound(capacity);
    }
    changed_.notify_all();
  }

  // Waits until the queue holds fewer than capacity items. False when it
  // is closed.
  bool WaitForRoom() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock,
                  [this] { return closed_ || items_.size() < capacity_; });
    return !closed_;
  }

  // Appends without waiting (after WaitForRoom).
  void Push(T item) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      items_.push_back(std::move(item));
    }
    changed_.notify_all();
  }

  // Waits for the oldest item and removes it; nothing when closed.
  std::optional<T> Pop() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return closed_ || !items_.empty(); });
    if (closed_) return std::nullopt;
    std::optional<T> item(std::move(items_.front()));
    items_.pop_front();
    lock.unlock();
    changed_.notify_all();
    return item;
  }

  // Removes every item; they are returned so that the caller releases them
  // outside the queue's lock.
  std::deque<T> Clear() {
    std::deque<T> removed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      removed.swap(items_);
    }
    changed_.notify_all();
    return removed;
  }

  void Close() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
  }

  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
  }
  size_t capacity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return capacity_;
  }

 private:
  static size_t Bound(size_t capacity) { return capacity < 1 ? 1 : capacity; }

  mutable std::mutex mutex_;  // guards the members below
  std::condition_variable changed_;
  std::deque<T> items_;
  size_t capacity_;
  bool closed_ = false;
};

}  // namespace vostek_kestu

#endif  // SRC_DRIVER_BOUNDED_QUEUE_H_
