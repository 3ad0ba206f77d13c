#include "vision/tracking/box_motion_model.h"

#include <algorithm>
#include <cmath>

namespace talvenrook_vision {
namespace {

constexpr int kState = 8;
constexpr int kMeasured = 4;

cv::KalmanFilter CloneFilter(const cv::KalmanFilter& f) {
  cv::KalmanFilter c;
  c.statePre = f.statePre.clone();
  c.statePost = f.statePost.clone();
  c.transitionMatrix = f.transitionMatrix.clone();
  c.controlMatrix = f.controlMatrix.clone();
  c.measurementMatrix = f.measurementMatrix.clone();
  c.processNoiseCov = f.processNoiseCov.clone();
  c.measurementNoiseCov = f.measurementNoiseCov.clone();
  c.errorCovPre = f.errorCovPre.clone();
  c.gain = f.gain.clone();
  c.errorCovPost = f.errorCovPost.clone();
  return c;
}

// (cx, cy, s, r) of a box with positive area.
void Measure(const cv::Rect& box, cv::Mat* z) {
  z->at<float>(0) = box.x + box.width / 2.0f;
  z->at<float>(1) = box.y + box.height / 2.0f;
  z->at<float>(2) = static_cast<float>(box.width) * box.height;
  z->at<float>(3) = static_cast<float>(box.width) / box.height;
}

cv::Rect BoxOfState(const cv::Mat& x) {
  const float s = std::max(x.at<float>(2), 1.0f);
  const float r = std::max(x.at<float>(3), 1e-3f);
  const float w = std::sqrt(s * r);
  const float h = s / std::max(w, 1e-3f);
  return cv::Rect(static_cast<int>(std::lround(x.at<float>(0) - w / 2)),
                  static_cast<int>(std::lround(x.at<float>(1) - h / 2)),
                  std::max(1, static_cast<int>(std::lround(w))),
                  std::max(1, static_cast<int>(std::lround(h))));
}

}  // namespace

BoxMotionModel::BoxMotionModel() : measurement_(kMeasured, 1, CV_32F) {}

BoxMotionModel::BoxMotionModel(const BoxMotionModel& other)
    : filter_(CloneFilter(other.filter_)),
      measurement_(other.measurement_.clone()),
      initialised_(other.initialised_) {}

BoxMotionModel& BoxMotionModel::operator=(const BoxMotionModel& other) {
  if (this != &other) {
    filter_ = CloneFilter(other.filter_);
    measurement_ = other.measurement_.clone();
    initialised_ = other.initialised_;
  }
  return *this;
}

void BoxMotionModel::Init(const cv::Rect& box) {
  initialised_ = false;
  if (box.width <= 0 || box.height <= 0) return;
  filter_.init(kState, kMeasured, 0, CV_32F);
  // x' = x + v for each of the four measured values.
  cv::setIdentity(filter_.transitionMatrix);
  for (int i = 0; i < kMeasured; ++i) {
    filter_.transitionMatrix.at<float>(i, i + kMeasured) = 1.0f;
  }
  cv::setIdentity(filter_.measurementMatrix);
  // Noise as standard deviations in the units of the state: pixels for the
  // centre, a share of the area for the area. A detection's centre is good
  // to about 2 pixels, its area to about 10 %; between frames the centre
  // wanders by about a pixel and its velocity by half a pixel per frame.
  const float area = static_cast<float>(box.width) * box.height;
  auto square = [](float v) { return v * v; };
  const float process[kState] = {1.0f,  1.0f,  square(0.02f * area),  1e-4f,
                                 0.25f, 0.25f, square(0.005f * area), 1e-6f};
  const float measured[kMeasured] = {4.0f, 4.0f, square(0.1f * area), 0.0025f};
  // At birth the velocities are unknown: up to about 10 pixels per frame.
  const float initial[kState] = {4.0f,   4.0f,   square(0.1f * area),  0.0025f,
                                 100.0f, 100.0f, square(0.05f * area), 1e-4f};
  filter_.processNoiseCov = cv::Mat::zeros(kState, kState, CV_32F);
  filter_.errorCovPost = cv::Mat::zeros(kState, kState, CV_32F);
  filter_.measurementNoiseCov = cv::Mat::zeros(kMeasured, kMeasured, CV_32F);
  for (int i = 0; i < kState; ++i) {
    filter_.processNoiseCov.at<float>(i, i) = process[i];
    filter_.errorCovPost.at<float>(i, i) = initial[i];
  }
  for (int i = 0; i < kMeasured; ++i) {
    filter_.measurementNoiseCov.at<float>(i, i) = measured[i];
  }
  Measure(box, &measurement_);
  filter_.statePost.setTo(0);
  for (int i = 0; i < kMeasured; ++i) {
    filter_.statePost.at<float>(i) = measurement_.at<float>(i);
  }
  filter_.statePost.copyTo(filter_.statePre);
  initialised_ = true;
}

cv::Rect BoxMotionModel::Predict() {
  if (!initialised_) return cv::Rect();
  // An area shrinking through zero would flip the box: stop the shrinking.
  cv::Mat& x = filter_.statePost;
  if (x.at<float>(2) + x.at<float>(6) <= 1.0f) x.at<float>(6) = 0.0f;
  filter_.predict();
  // Without a correction the next prediction starts from this one.
  filter_.statePre.copyTo(filter_.statePost);
  filter_.errorCovPre.copyTo(filter_.errorCovPost);
  return BoxOfState(filter_.statePost);
}

cv::Rect BoxMotionModel::Correct(const cv::Rect& box) {
  if (!initialised_) {
    Init(box);
    return box;
  }
  if (box.width <= 0 || box.height <= 0) return Box();
  Measure(box, &measurement_);
  filter_.correct(measurement_);
  return BoxOfState(filter_.statePost);
}

cv::Rect BoxMotionModel::Box() const {
  return initialised_ ? BoxOfState(filter_.statePost) : cv::Rect();
}

cv::Point2f BoxMotionModel::Velocity() const {
  if (!initialised_) return cv::Point2f();
  return cv::Point2f(filter_.statePost.at<float>(4),
                     filter_.statePost.at<float>(5));
}

}  // namespace talvenrook_vision
