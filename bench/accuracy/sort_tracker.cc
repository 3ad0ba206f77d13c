#include "bench/accuracy/sort_tracker.h"

#include <algorithm>
#include <cmath>

#include "vision/tracking/assignment.h"

namespace kestu_tools {
namespace {

// The measurement: centre x, centre y, area, aspect ratio (w / h).
cv::Mat Measure(const cv::Rect2d& box) {
  cv::Mat z(4, 1, CV_32F);
  z.at<float>(0) = static_cast<float>(box.x + box.width / 2);
  z.at<float>(1) = static_cast<float>(box.y + box.height / 2);
  z.at<float>(2) = static_cast<float>(box.width * box.height);
  z.at<float>(3) = static_cast<float>(box.width / std::max(box.height, 1e-6));
  return z;
}

double Iou(const cv::Rect2d& a, const cv::Rect2d& b) {
  const double overlap = (a & b).area();
  const double total = a.area() + b.area() - overlap;
  return total > 0 ? overlap / total : 0.0;
}

}  // namespace

SortTracker::Track SortTracker::NewTrack(int64_t id, const cv::Rect2d& box) {
  Track track;
  track.id = id;
  // State: cx, cy, area, ratio, and the rates of the first three.
  cv::KalmanFilter& kf = track.filter;
  kf.init(7, 4, 0, CV_32F);
  kf.transitionMatrix = cv::Mat::eye(7, 7, CV_32F);
  for (int i = 0; i < 3; ++i) kf.transitionMatrix.at<float>(i, i + 4) = 1.0f;
  kf.measurementMatrix = cv::Mat::zeros(4, 7, CV_32F);
  for (int i = 0; i < 4; ++i) kf.measurementMatrix.at<float>(i, i) = 1.0f;
  kf.measurementNoiseCov = cv::Mat::eye(4, 4, CV_32F);
  kf.measurementNoiseCov.at<float>(2, 2) = 10.0f;
  kf.measurementNoiseCov.at<float>(3, 3) = 10.0f;
  kf.errorCovPost = cv::Mat::eye(7, 7, CV_32F) * 10.0f;
  // The rates are unknown at first.
  for (int i = 4; i < 7; ++i) kf.errorCovPost.at<float>(i, i) = 10000.0f;
  kf.processNoiseCov = cv::Mat::eye(7, 7, CV_32F);
  kf.processNoiseCov.at<float>(6, 6) = 0.01f;
  for (int i = 4; i < 6; ++i) kf.processNoiseCov.at<float>(i, i) = 0.01f;
  kf.statePost = cv::Mat::zeros(7, 1, CV_32F);
  Measure(box).copyTo(kf.statePost.rowRange(0, 4));
  return track;
}

cv::Rect2d SortTracker::StateBox(const cv::Mat& state) {
  const double area = std::max(0.0f, state.at<float>(2));
  const double ratio = std::max(1e-6f, state.at<float>(3));
  const double width = std::sqrt(area * ratio);
  const double height = width > 0 ? area / width : 0.0;
  return cv::Rect2d(state.at<float>(0) - width / 2,
                    state.at<float>(1) - height / 2, width, height);
}

std::vector<SortTracker::Output> SortTracker::Update(
    const std::vector<cv::Rect2d>& detections) {
  ++frame_;
  // Predict; an area that would go negative stops shrinking.
  std::vector<cv::Rect2d> predicted;
  for (Track& track : tracks_) {
    cv::Mat& state = track.filter.statePost;
    if (state.at<float>(2) + state.at<float>(6) <= 0) state.at<float>(6) = 0;
    track.filter.predict();
    track.filter.statePre.copyTo(track.filter.statePost);
    track.filter.errorCovPre.copyTo(track.filter.errorCovPost);
    if (track.time_since_update > 0) track.hit_streak = 0;
    ++track.time_since_update;
    predicted.push_back(StateBox(track.filter.statePost));
  }
  // Detections to tracks at the least total 1 - IoU.
  std::vector<int> track_of(detections.size(), -1);
  if (!detections.empty() && !tracks_.empty()) {
    cv::Mat cost(static_cast<int>(detections.size()),
                 static_cast<int>(tracks_.size()), CV_64F);
    for (size_t d = 0; d < detections.size(); ++d) {
      for (size_t t = 0; t < tracks_.size(); ++t) {
        cost.at<double>(static_cast<int>(d), static_cast<int>(t)) =
            1.0 - Iou(detections[d], predicted[t]);
      }
    }
    // Rows are matched to columns; the solver wants no more rows than
    // columns, so the smaller side goes first.
    if (detections.size() <= tracks_.size()) {
      track_of = talvenrook_vision::AssignBelow(
          cost, 1.0 - options_.iou_threshold + 1e-12);
    } else {
      const std::vector<int> detection_of = talvenrook_vision::AssignBelow(
          cost.t(), 1.0 - options_.iou_threshold + 1e-12);
      for (size_t t = 0; t < detection_of.size(); ++t) {
        if (detection_of[t] >= 0) track_of[detection_of[t]] = t;
      }
    }
  }
  for (size_t d = 0; d < detections.size(); ++d) {
    if (track_of[d] >= 0) {
      Track& track = tracks_[track_of[d]];
      track.filter.correct(Measure(detections[d]));
      track.time_since_update = 0;
      ++track.hit_streak;
    } else {
      tracks_.push_back(NewTrack(next_id_++, detections[d]));
    }
  }
  std::vector<Output> out;
  for (const Track& track : tracks_) {
    if (track.time_since_update < 1 && (track.hit_streak >= options_.min_hits ||
                                        frame_ <= options_.min_hits)) {
      out.push_back({track.id, StateBox(track.filter.statePost)});
    }
  }
  tracks_.erase(std::remove_if(tracks_.begin(), tracks_.end(),
                               [&](const Track& track) {
                                 return track.time_since_update >
                                        options_.max_age;
                               }),
                tracks_.end());
  return out;
}

}  // namespace kestu_tools
