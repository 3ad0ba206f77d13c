#include "tools/web/track_history.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestu_tools {
namespace {

int16_t Clamp16(float value) {
  if (!std::isfinite(value)) return 0;
  return static_cast<int16_t>(
      std::clamp(value, static_cast<float>(std::numeric_limits<int16_t>::min()),
                 static_cast<float>(std::numeric_limits<int16_t>::max())));
}

TrackBox BoxOf(
    const ::talvenrook::vision::v1::RectangularDetection& detection) {
  const auto& location = detection.location();
  return {static_cast<int32_t>(detection.tracking_id()), Clamp16(location.x()),
          Clamp16(location.y()), Clamp16(location.width()),
          Clamp16(location.height())};
}

double Seconds(TrackHistory::Clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

}  // namespace

void AppendFrame(const ::talvenrook::vision::v1::VisionResult& result,
                 double time, size_t limit, TrackFrames* frames) {
  const size_t count =
      std::min(limit, static_cast<size_t>(result.rect_detection_size()));
  for (size_t i = 0; i < count; ++i) {
    frames->boxes.push_back(BoxOf(result.rect_detection(static_cast<int>(i))));
  }
  frames->times.push_back(time);
  frames->counts.push_back(static_cast<uint32_t>(count));
}

TrackHistory::TrackHistory(std::chrono::minutes window, size_t max_boxes)
    : window_seconds_(std::chrono::duration<double>(window).count()),
      max_boxes_(max_boxes) {}

void TrackHistory::Trim(Driver* driver, double oldest) const {
  while (!driver->heads.empty() && (driver->heads.front().time < oldest ||
                                    driver->heads.size() > kMaxFrames ||
                                    driver->boxes.size() > max_boxes_)) {
    const uint32_t count = driver->heads.front().count;
    driver->boxes.erase(driver->boxes.begin(), driver->boxes.begin() + count);
    driver->heads.pop_front();
  }
}

void TrackHistory::Add(const std::string& process, const std::string& driver,
                       const ::talvenrook::vision::v1::VisionResult& result,
                       Clock::time_point received) {
  const double now = Seconds(received);
  const size_t count = std::min(
      kMaxBoxesPerFrame, static_cast<size_t>(result.rect_detection_size()));
  std::lock_guard<std::mutex> lock(mutex_);
  Driver& d = drivers_[{process, driver}];
  for (size_t i = 0; i < count; ++i) {
    d.boxes.push_back(BoxOf(result.rect_detection(static_cast<int>(i))));
  }
  d.heads.push_back({now, static_cast<uint32_t>(count)});
  Trim(&d, now - window_seconds_);
}

TrackFrames TrackHistory::Copy(const std::string& process,
                               const std::string& driver,
                               Clock::time_point now) const {
  TrackFrames frames;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = drivers_.find({process, driver});
  if (it == drivers_.end()) return frames;
  const Driver& d = it->second;
  const double oldest = Seconds(now) - window_seconds_;
  size_t skip_frames = 0, skip_boxes = 0;
  while (skip_frames < d.heads.size() && d.heads[skip_frames].time < oldest) {
    skip_boxes += d.heads[skip_frames++].count;
  }
  frames.times.reserve(d.heads.size() - skip_frames);
  frames.counts.reserve(d.heads.size() - skip_frames);
  for (size_t i = skip_frames; i < d.heads.size(); ++i) {
    frames.times.push_back(d.heads[i].time);
    frames.counts.push_back(d.heads[i].count);
  }
  frames.boxes.assign(d.boxes.begin() + static_cast<std::ptrdiff_t>(skip_boxes),
                      d.boxes.end());
  return frames;
}

size_t TrackHistory::BoxCount(const std::string& process,
                              const std::string& driver) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = drivers_.find({process, driver});
  return it == drivers_.end() ? 0 : it->second.boxes.size();
}

}  // namespace kestu_tools
