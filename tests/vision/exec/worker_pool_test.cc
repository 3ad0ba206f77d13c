// The pool runs every task posted, even those still queued when it goes;
// as many at once as were asked for (never more than its limit); on threads
// that carry its name.
#include "vision/exec/worker_pool.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

namespace talvenrook_vision {
namespace {

constexpr std::chrono::seconds kDeadline(10);

TEST(WorkerPoolTest, RunsEveryTaskPostedBeforeItGoes) {
  std::atomic<int> ran{0};
  {
    WorkerPool pool("test-pool");
    for (int i = 0; i < 200; ++i) pool.Post([&ran] { ++ran; });
  }  // most are still queued here
  EXPECT_EQ(ran.load(), 200);
}

struct Width {
  const char* name;
  size_t asked;
  size_t runs_at_once;
};

class WorkerPoolWidthTest : public ::testing::TestWithParam<Width> {};

// Each task waits until `runs_at_once` tasks are in at the same time: the
// pool must have started that many threads, or the tasks time out.
TEST_P(WorkerPoolWidthTest, RunsAsManyTasksAtOnceAsAskedFor) {
  const Width& w = GetParam();
  std::mutex mutex;
  std::condition_variable changed;
  size_t inside = 0;
  size_t met = 0;  // tasks that saw all the others in
  {
    WorkerPool pool("test-pool");
    pool.EnsureWorkers(w.asked);
    pool.EnsureWorkers(1);  // never shrinks
    EXPECT_EQ(pool.workers(), w.runs_at_once);
    for (size_t i = 0; i < w.runs_at_once; ++i) {
      pool.Post([&] {
        std::unique_lock<std::mutex> lock(mutex);
        ++inside;
        changed.notify_all();
        if (changed.wait_for(lock, kDeadline,
                             [&] { return inside == w.runs_at_once; }))
          ++met;
      });
    }
  }  // waits for every task
  EXPECT_EQ(met, w.runs_at_once);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, WorkerPoolWidthTest,
    ::testing::Values(Width{"One", 1, 1}, Width{"Three", 3, 3},
                      Width{"CappedAtTheLimit", WorkerPool::kMaxWorkers + 8,
                            WorkerPool::kMaxWorkers}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WorkerPoolTest, ThreadsCarryThePoolsName) {
  std::string name;
  {
    WorkerPool pool("kestu-inference-long-name");
    pool.Post([&name] {
      char buffer[16] = {};
      pthread_getname_np(pthread_self(), buffer, sizeof(buffer));
      name = buffer;
    });
  }
  EXPECT_EQ(name, "kestu-inference");
}

}  // namespace
}  // namespace talvenrook_vision
