#include "vision/objects/pixel_liveness.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

#include "vision/objects/object_keys.h"
#include "vision/tracking/tracker_keys.h"

namespace talvenrook_vision {
namespace {

const cv::Size kPatch(16, 32);

bool Overlaps(const cv::Rect& a, const cv::Rect& b) {
  return (a & b).area() > 0;
}

}  // namespace

void PixelLiveness::Configure(const Entity& config) {
  Tracker::Parameters tracker;
  WriteKeyProblems(
      TrackerKeyTable().ReadOnly(config, {"tracker_min_change"}, &tracker));
  min_change_ = tracker.min_change;
  ObjectSettings settings;
  WriteKeyProblems(
      ObjectKeyTable().ReadOnly(config, {"tracker_change_frames"}, &settings));
  frames_needed_ = settings.tracker_change_frames;
  previous_.release();
  lively_.clear();
}

double PixelLiveness::Change(const cv::Mat& before, const cv::Mat& now,
                             const cv::Rect& box) {
  const cv::Rect frame(0, 0, now.cols, now.rows);
  const cv::Rect inside = box & frame;
  if (before.size() != now.size() || inside.width < 2 || inside.height < 2) {
    return -1.0;
  }
  cv::Mat a, b, difference;
  cv::resize(before(inside), a, kPatch, 0, 0, cv::INTER_AREA);
  cv::resize(now(inside), b, kPatch, 0, 0, cv::INTER_AREA);
  cv::absdiff(a, b, difference);
  return cv::mean(difference)[0];
}

void PixelLiveness::Judge(const cv::Mat& frame, Tracker* tracker) {
  if (!enabled() || frame.empty()) return;
  cv::Mat grey;
  if (frame.channels() == 3) {
    cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
  } else {
    grey = frame.clone();
  }
  if (!previous_.empty()) {
    const std::vector<Track>& tracks = tracker->tracks();
    for (const Track& track : tracks) {
      if (track.moved || !track.updated) continue;
      const bool covered = std::any_of(
          tracks.begin(), tracks.end(), [&track](const Track& other) {
            return other.id != track.id && other.updated && other.moved &&
                   Overlaps(other.box, track.box);
          });
      if (covered) continue;
      if (Change(previous_, grey, track.box) <= min_change_) continue;
      if (++lively_[track.id] >= frames_needed_) {
        tracker->MarkAlive(track.id);
        lively_.erase(track.id);
      }
    }
  }
  previous_ = grey;
}

void PixelLiveness::Forget(const std::vector<int32_t>& track_ids) {
  for (int32_t id : track_ids) lively_.erase(id);
}

}  // namespace talvenrook_vision
