// Constant-velocity motion of one track's box, filtered by a Kalman filter.
//
// The state is the box centre (cx, cy), its area s and its aspect ratio
// r = width / height, with the velocity of each (eight values); a detection
// measures the first four. Predict advances the state by one frame and
// gives the box where the object should be now; Correct blends a matched
// detection in. A track that is not matched keeps predicting, so it coasts
// along its last velocity through a short occlusion.
//
// Requires: Init before Predict or Correct. Not thread-safe. Copies share
// nothing (the filter's matrices are cloned).
#ifndef VISION_TRACKING_BOX_MOTION_MODEL_H_
#define VISION_TRACKING_BOX_MOTION_MODEL_H_

#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>

namespace talvenrook_vision {

class BoxMotionModel {
 public:
  BoxMotionModel();
  BoxMotionModel(const BoxMotionModel& other);
  BoxMotionModel& operator=(const BoxMotionModel& other);
  BoxMotionModel(BoxMotionModel&&) = default;
  BoxMotionModel& operator=(BoxMotionModel&&) = default;

  // Starts at the box, at rest, with uncertain velocities. A box without
  // area leaves the model uninitialised.
  void Init(const cv::Rect& box);
  bool initialised() const { return initialised_; }

  // One frame ahead; returns the predicted box (the box of Init before the
  // first call). The area never predicts below one pixel.
  cv::Rect Predict();
  // Blends in a matched detection; returns the filtered box.
  cv::Rect Correct(const cv::Rect& box);
  // The current estimate (after the last Predict or Correct).
  cv::Rect Box() const;
  // Estimated centre velocity, pixels per frame.
  cv::Point2f Velocity() const;

 private:
  cv::KalmanFilter filter_;
  cv::Mat measurement_;  // 4 x 1 scratch
  bool initialised_ = false;
};

}  // namespace talvenrook_vision

#endif  // VISION_TRACKING_BOX_MOTION_MODEL_H_
