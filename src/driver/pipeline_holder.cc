#include "src/driver/pipeline_holder.h"

#include <utility>

namespace vostek_kestu {

absl::Status PipelineHolder::Install(
    std::unique_ptr<talvenrook_vision::VisionAnalytics> candidate,
    const talvenrook_vision::KestuEyeConfig& config,
    const std::function<void(talvenrook_vision::VisionAnalytics&)>& prepare) {
  if (!candidate) return talvenrook_vision::SetupError("no pipeline");
  candidate->SetClock(&clock_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    candidate->SetTaskRunner(runner_);
  }
  const absl::Status status = candidate->Setup(config);
  if (!status.ok()) return status;
  if (prepare) prepare(*candidate);
  std::shared_ptr<talvenrook_vision::VisionAnalytics> installed(
      std::move(candidate));
  std::lock_guard<std::mutex> lock(mutex_);
  pipeline_.swap(installed);
  return status;  // the old pipeline goes when its last frame step is done
}

std::shared_ptr<talvenrook_vision::VisionAnalytics> PipelineHolder::current()
    const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pipeline_;
}

void PipelineHolder::SetTaskRunner(
    std::shared_ptr<talvenrook_vision::TaskRunner> runner) {
  std::lock_guard<std::mutex> lock(mutex_);
  runner_ = std::move(runner);
}

void PipelineHolder::PublishRequest(const VisionRequest& request) {
  auto published = std::make_shared<const VisionRequest>(request);
  std::lock_guard<std::mutex> lock(mutex_);
  request_ = std::move(published);
}

std::shared_ptr<const VisionRequest> PipelineHolder::request() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return request_;
}

}  // namespace vostek_kestu
