// InferenceRing: the asynchronous half of a predictor. A ring of inferences
// in flight: the producer fills the next slot's blob and submits it, the
// task runner it was given runs it on one of the networks, and the consumer
// takes the outputs back in the order they were submitted.
//
//   InferenceRing ring(4, 2, [&](size_t network, const cv::Mat& blob) {
//     return RunOnNetwork(network, blob);
//   }, workers);
//   if (!ring.Full()) { Fill(&ring.NextBlob()); ring.Submit(); }
//   cv::Mat output;
//   if (ring.Pop(&output)) Use(output);
//
// Threads: the ring starts none. It keeps at most one task per network on
// the runner; each task takes a free network and runs queued blobs on it
// until none is left, so two inferences never share a network. Without a
// runner, Submit runs the inference itself. NextBlob and Submit on one
// producer thread, Pop on one consumer thread; the pending count is all
// they share. A slot is written only while the count is below the ring's
// length and read only while it is above 0. A failed inference (an OpenCV
// exception in `run`) is written as an "ERROR: " line and gives an empty
// output. Destruction drops the queued blobs and waits for the running
// inferences.
#ifndef VISION_INFERENCE_INFERENCE_RING_H_
#define VISION_INFERENCE_INFERENCE_RING_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/async.hpp>
#include <opencv2/core/detail/async_promise.hpp>

#include "vision/exec/task_runner.h"

namespace talvenrook_vision {

class InferenceRing {
 public:
  // Runs one blob on network `network`; may throw cv::Exception.
  using Run = std::function<cv::Mat(size_t network, const cv::Mat& blob)>;

  // Requires: slots > 0, networks > 0. `runner` may be null.
  InferenceRing(size_t slots, size_t networks, Run run,
                std::shared_ptr<TaskRunner> runner);
  ~InferenceRing();
  InferenceRing(const InferenceRing&) = delete;
  InferenceRing& operator=(const InferenceRing&) = delete;

  size_t slots() const { return pending_.size(); }
  int64_t Pending() const { return pending_count_.load(); }
  bool Full() const {
    return pending_count_.load() >= static_cast<int64_t>(pending_.size());
  }

  // The next slot's blob, to be filled and then submitted. Requires:
  // !Full().
  cv::Mat& NextBlob() { return blobs_[write_index_]; }
  // Queues NextBlob() for the workers.
  void Submit();
  // The oldest output (empty after a failed inference): true. False when
  // nothing is pending, or when it is still pending after `timeout`.
  bool Pop(cv::Mat* output, std::chrono::nanoseconds timeout);

  // Waits until a slot is free.
  void WaitForRoom();
  // Waits until an inference is pending, at most `limit`; false then.
  bool WaitForPending(std::chrono::milliseconds limit);

 private:
  struct Job {
    cv::Mat blob;
    cv::AsyncPromise promise;
  };

  void AddPending(int64_t delta);
  // One task on the runner: runs queued jobs on a free network.
  void Drain();
  // `run` on the blob; an empty output (after its line) when it throws.
  cv::Mat RunSafely(size_t network, const cv::Mat& blob) const;

  const size_t networks_;
  const Run run_;
  const std::shared_ptr<TaskRunner> runner_;
  // One future per queued inference, and the blob of each slot.
  std::vector<cv::AsyncArray> pending_;
  std::vector<cv::Mat> blobs_;
  std::atomic<int64_t> pending_count_{0};
  int64_t write_index_ = 0;  // owned by the producer
  int64_t read_index_ = 0;   // owned by the consumer
  // Guards nothing but the waits on ring_changed_ (pending_count_ changes).
  std::mutex ring_mutex_;
  std::condition_variable ring_changed_;

  std::mutex jobs_mutex_;
  std::condition_variable drained_;  // a task of the ring ended
  // guarded by jobs_mutex_
  std::deque<Job> jobs_;
  std::vector<size_t> free_networks_;
  size_t draining_ = 0;  // tasks of the ring on the runner
  bool stopping_ = false;
};

}  // namespace talvenrook_vision

#endif  // VISION_INFERENCE_INFERENCE_RING_H_
