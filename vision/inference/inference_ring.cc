#include "vision/inference/inference_ring.h"

#include <utility>

#include "vision/config/setup_notes.h"

namespace talvenrook_vision {

InferenceRing::InferenceRing(size_t slots, size_t networks, Run run,
                             std::shared_ptr<TaskRunner> runner)
    : networks_(networks),
      run_(std::move(run)),
      runner_(std::move(runner)),
      pending_(slots),
      blobs_(slots) {
  for (size_t i = networks; i > 0; --i) free_networks_.push_back(i - 1);
  if (runner_) runner_->EnsureWorkers(networks);
}

InferenceRing::~InferenceRing() {
  std::unique_lock<std::mutex> lock(jobs_mutex_);
  stopping_ = true;
  jobs_.clear();
  drained_.wait(lock, [this] { return draining_ == 0; });
}

void InferenceRing::Submit() {
  Job job;
  job.blob = blobs_[write_index_];
  pending_[write_index_] = job.promise.getArrayResult();
  write_index_ = (write_index_ + 1) % static_cast<int64_t>(pending_.size());
  if (!runner_) {
    job.promise.setValue(RunSafely(0, job.blob));
    AddPending(1);
    return;
  }
  bool post = false;
  {
    std::lock_guard<std::mutex> lock(jobs_mutex_);
    jobs_.push_back(std::move(job));
    if (draining_ < networks_) {
      // A network without a task to run on it.
      ++draining_;
      post = true;
    }
  }
  AddPending(1);
  if (post) runner_->Post([this] { Drain(); });
}

bool InferenceRing::Pop(cv::Mat* output, std::chrono::nanoseconds timeout) {
  output->release();
  if (pending_count_.load() == 0) return false;
  cv::AsyncArray& slot = pending_[read_index_];
  try {
    if (!slot.get(*output, static_cast<int64_t>(timeout.count()))) return false;
  } catch (const cv::Exception& e) {
    NoteError(e.what());
    output->release();
  }
  slot.release();
  read_index_ = (read_index_ + 1) % static_cast<int64_t>(pending_.size());
  AddPending(-1);
  return true;
}

void InferenceRing::AddPending(int64_t delta) {
  {
    std::lock_guard<std::mutex> lock(ring_mutex_);
    pending_count_.fetch_add(delta);
  }
  ring_changed_.notify_all();
}

void InferenceRing::WaitForRoom() {
  std::unique_lock<std::mutex> lock(ring_mutex_);
  ring_changed_.wait(lock, [this] { return !Full(); });
}

bool InferenceRing::WaitForPending(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(ring_mutex_);
  return ring_changed_.wait_for(lock, limit,
                                [this] { return pending_count_.load() > 0; });
}

void InferenceRing::Drain() {
  std::unique_lock<std::mutex> lock(jobs_mutex_);
  const size_t network = free_networks_.back();
  free_networks_.pop_back();
  while (!stopping_ && !jobs_.empty()) {
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job.promise.setValue(RunSafely(network, job.blob));
    job = Job();
    lock.lock();
  }
  free_networks_.push_back(network);
  --draining_;
  // Notified under the lock: once it is released the ring may be gone.
  drained_.notify_all();
}

cv::Mat InferenceRing::RunSafely(size_t network, const cv::Mat& blob) const {
  try {
    return run_(network, blob);
  } catch (const cv::Exception& e) {
    NoteError(e.what());
    return cv::Mat();
  }
}

}  // namespace talvenrook_vision
