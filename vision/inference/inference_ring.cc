#include "vision/inference/inference_ring.h"

#include <utility>

#include "vision/config/setup_notes.h"

namespace talvenrook_vision {

InferenceRing::InferenceRing(size_t slots, size_t workers, Run run)
    : workers_wanted_(workers),
      run_(std::move(run)),
      pending_(slots),
      blobs_(slots) {}

InferenceRing::~InferenceRing() {
  {
    std::lock_guard<std::mutex> lock(jobs_mutex_);
    stopping_ = true;
  }
  jobs_ready_.notify_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
}

void InferenceRing::Submit() {
  Job job;
  job.blob = blobs_[write_index_];
  pending_[write_index_] = job.promise.getArrayResult();
  {
    std::lock_guard<std::mutex> lock(jobs_mutex_);
    if (workers_.empty()) {
      for (size_t i = 0; i < workers_wanted_; ++i)
        workers_.emplace_back(&InferenceRing::Work, this, i);
    }
    jobs_.push_back(std::move(job));
  }
  jobs_ready_.notify_one();
  write_index_ = (write_index_ + 1) % static_cast<int64_t>(pending_.size());
  AddPending(1);
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

void InferenceRing::Work(size_t worker) {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(jobs_mutex_);
      jobs_ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    try {
      job.promise.setValue(run_(worker, job.blob));
    } catch (const cv::Exception& e) {
      NoteError(e.what());
      job.promise.setValue(cv::Mat());
    }
  }
}

}  // namespace talvenrook_vision
