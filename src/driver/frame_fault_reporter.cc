#include "src/driver/frame_fault_reporter.h"

#include <algorithm>
#include <utility>

namespace vostek_kestu {

FrameFaultReporter::FrameFaultReporter(Now now) : now_(std::move(now)) {}

std::string FrameFaultReporter::Fault(const std::string& stage,
                                      const std::string& what) {
  const Clock::time_point now = now_();
  const std::string key = stage + '\n' + what;
  const std::string text = "Frame step failed in " + stage + ": " + what;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = seen_.find(key);
  if (it == seen_.end()) {
    if (seen_.size() >= kMaxRemembered) {
      seen_.erase(std::min_element(
          seen_.begin(), seen_.end(), [](const auto& a, const auto& b) {
            return a.second.reported < b.second.reported;
          }));
    }
    seen_[key] = Seen{now, 0};
    return text;
  }
  Seen& seen = it->second;
  ++seen.repeats;
  if (now - seen.reported < kRepeatPeriod) return "";
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(now - seen.reported);
  const std::string repeated = text + " (" + std::to_string(seen.repeats) +
                               " more times in the last " +
                               std::to_string(seconds.count()) + " s)";
  seen = Seen{now, 0};
  return repeated;
}

bool FrameFaultReporter::EndFrame(bool failed) {
  std::lock_guard<std::mutex> lock(mutex_);
  consecutive_ = failed ? consecutive_ + 1 : 0;
  return consecutive_ == kMaxConsecutiveFailures;
}

void FrameFaultReporter::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  seen_.clear();
  consecutive_ = 0;
}

int FrameFaultReporter::consecutive_failures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return consecutive_;
}

}  // namespace vostek_kestu
