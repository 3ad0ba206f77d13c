#include "vision/exec/worker_pool.h"

#include <pthread.h>

#include <algorithm>
#include <utility>

namespace talvenrook_vision {

WorkerPool::WorkerPool(std::string name) : name_(std::move(name)) {}

WorkerPool::~WorkerPool() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    threads.swap(threads_);
  }
  ready_.notify_all();
  for (std::thread& thread : threads) thread.join();
}

void WorkerPool::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    if (threads_.empty()) Grow(1);
  }
  ready_.notify_one();
}

void WorkerPool::EnsureWorkers(size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  Grow(count);
}

size_t WorkerPool::workers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return threads_.size();
}

void WorkerPool::Grow(size_t count) {
  count = std::min(count, kMaxWorkers);
  while (!stopping_ && threads_.size() < count) {
    threads_.emplace_back(&WorkerPool::Work, this);
    pthread_setname_np(threads_.back().native_handle(),
                       name_.substr(0, 15).c_str());
  }
}

void WorkerPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ready_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
    // Queued tasks run even while stopping: whoever posted them may be
    // waiting for them.
    if (tasks_.empty()) return;
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    task = nullptr;  // its captures go outside the lock too
    lock.lock();
  }
}

}  // namespace talvenrook_vision
