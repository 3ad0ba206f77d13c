// InferenceRing: the asynchronous half of a predictor. A ring of inferences
// in flight: the producer fills the next slot's blob and submits it, worker
// threads (one per network, started at the first submit) run it, and the
// consumer takes the outputs back in the order they were submitted.
//
//   InferenceRing ring(4, 2, [&](size_t worker, const cv::Mat& blob) {
//     return RunOnNetworkOf(worker, blob);
//   });
//   if (!ring.Full()) { Fill(&ring.NextBlob()); ring.Submit(); }
//   cv::Mat output;
//   if (ring.Pop(&output)) Use(output);
//
// Threads: NextBlob and Submit on one producer thread, Pop on one consumer
// thread; the pending count is all they share. A slot is written only while
// the count is below the ring's length and read only while it is above 0.
// A failed inference (an OpenCV exception in `run`) is written as an
// "ERROR: " line and gives an empty output.
#ifndef VISION_INFERENCE_INFERENCE_RING_H_
#define VISION_INFERENCE_INFERENCE_RING_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/async.hpp>
#include <opencv2/core/detail/async_promise.hpp>

namespace talvenrook_vision {

class InferenceRing {
 public:
  // Runs one blob on worker `worker`'s network; may throw cv::Exception.
  using Run = std::function<cv::Mat(size_t worker, const cv::Mat& blob)>;

  // Requires: slots > 0, workers > 0.
  InferenceRing(size_t slots, size_t workers, Run run);
  ~InferenceRing();  // stops and joins the workers
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
  void Work(size_t worker);

  const size_t workers_wanted_;
  const Run run_;
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
  std::condition_variable jobs_ready_;
  std::deque<Job> jobs_;              // guarded by jobs_mutex_
  bool stopping_ = false;             // guarded by jobs_mutex_
  std::vector<std::thread> workers_;  // started by the first Submit
};

}  // namespace talvenrook_vision

#endif  // VISION_INFERENCE_INFERENCE_RING_H_
