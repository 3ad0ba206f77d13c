// WorkerPool: a TaskRunner over threads it owns. Threads start as parts
// ask for them (EnsureWorkers), up to kMaxWorkers, and are named after the
// pool so that they show in `top -H` and /proc. The pool's owner ends them:
// destruction runs the tasks still queued and joins every thread, so a
// pool is never let go by one of its own tasks.
//
// Thread-safe.
#ifndef VISION_EXEC_WORKER_POOL_H_
#define VISION_EXEC_WORKER_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vision/exec/task_runner.h"

namespace talvenrook_vision {

class WorkerPool : public TaskRunner {
 public:
  static constexpr size_t kMaxWorkers = 64;

  // `name` names the threads (at most 15 characters are kept).
  explicit WorkerPool(std::string name);
  ~WorkerPool() override;
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Without a thread yet, the first post starts one.
  void Post(std::function<void()> task) override;
  void EnsureWorkers(size_t count) override;

  size_t workers() const;

 private:
  void Work();
  // Starts threads up to `count`; the caller holds mutex_.
  void Grow(size_t count);

  const std::string name_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;  // guarded by mutex_
  bool stopping_ = false;                    // guarded by mutex_
  std::vector<std::thread> threads_;         // guarded by mutex_
};

}  // namespace talvenrook_vision

#endif  // VISION_EXEC_WORKER_POOL_H_
