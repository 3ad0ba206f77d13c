// The peer the samples are measured against: a plain SORT tracker (a
// constant-velocity Kalman filter per track over centre, area and aspect
// ratio; detections paired with the tracks' predictions by an optimal
// assignment on 1 - IoU, pairs below an IoU of 0.3 refused; a track is
// reported once it has been matched on 3 frames in a row, or from the
// start of the clip, and dropped after 1 frame without a match), run on the
// very detections the samples track.
#ifndef BENCH_ACCURACY_SORT_TRACKER_H_
#define BENCH_ACCURACY_SORT_TRACKER_H_

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>

namespace kestu_tools {

class SortTracker {
 public:
  struct Options {
    int max_age = 1;
    int min_hits = 3;
    double iou_threshold = 0.3;
  };
  struct Output {
    int64_t id = 0;
    cv::Rect2d box;
  };

  SortTracker() : SortTracker(Options()) {}
  explicit SortTracker(Options options) : options_(options) {}

  // One frame's detections (pixels); the tracks reported for it.
  std::vector<Output> Update(const std::vector<cv::Rect2d>& detections);

 private:
  struct Track {
    int64_t id = 0;
    cv::KalmanFilter filter;
    int time_since_update = 0;
    int hit_streak = 0;
  };
  static Track NewTrack(int64_t id, const cv::Rect2d& box);
  static cv::Rect2d StateBox(const cv::Mat& state);

  const Options options_;
  std::vector<Track> tracks_;
  int64_t frame_ = 0;
  int64_t next_id_ = 1;
};

}  // namespace kestu_tools

#endif  // BENCH_ACCURACY_SORT_TRACKER_H_
