#include "vision/face/attention/flow_attention.h"

#include <cmath>
#include <utility>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "vision/config/setup_notes.h"
#include "vision/face/common/face_labels.h"

namespace talvenrook_vision {
namespace {

// The angle constant of the configured directions.
constexpr double kConfigPi = 3.14159;
constexpr double kPi = 3.14159265358979323846;

double ConfiguredRadians(int32_t degrees) {
  const double d = degrees > 180 ? degrees - 360.0 : degrees;
  return d * kConfigPi / 180.0;
}

// The angle wrapped into (-pi, pi].
double Wrap(double radians) {
  while (radians > kPi) radians -= 2.0 * kPi;
  while (radians <= -kPi) radians += 2.0 * kPi;
  return radians;
}

}  // namespace

FlowAttention::FlowAttention(std::vector<AttentionRoi> rois,
                             const TrackingClock* clock)
    : PersonAttention(clock) {
  for (AttentionRoi& settings : rois) {
    RoiFlow roi;
    roi.settings = std::move(settings);
    rois_.push_back(std::move(roi));
  }
}

void FlowAttention::Follow(const cv::Mat& crop, RoiFlow* roi) {
  roi->from.clear();
  roi->to.clear();
  if (roi->points.empty() || roi->previous.size() != crop.size()) {
    roi->points.clear();
    return;
  }
  cv::calcOpticalFlowPyrLK(roi->previous, crop, roi->points, next_, status_,
                           errors_, cv::Size(31, 31), 3);
  for (size_t i = 0; i < roi->points.size(); ++i) {
    if (!status_[i]) continue;
    roi->from.push_back(roi->points[i]);
    roi->to.push_back(next_[i]);
  }
  roi->points = roi->to;
}

void FlowAttention::Detect(const cv::Mat& crop, RoiFlow* roi) {
  cv::goodFeaturesToTrack(crop, roi->points, roi->settings.feature_points,
                          0.0001, 10, cv::noArray(), 3, 3, false, 0.04);
  if (roi->points.empty()) return;
  cv::cornerSubPix(
      crop, roi->points, cv::Size(10, 10), cv::Size(-1, -1),
      cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 20,
                       0.03));
}

void FlowAttention::BeginFrame(const cv::Mat& frame, int64_t frame_number) {
  if (frame.empty()) return;
  const cv::Mat* grey = &frame;
  if (frame.channels() == 3) {
    cv::cvtColor(frame, grey_, cv::COLOR_BGR2GRAY);
    grey = &grey_;
  } else if (frame.channels() == 4) {
    cv::cvtColor(frame, grey_, cv::COLOR_BGRA2GRAY);
    grey = &grey_;
  }
  const cv::Rect bounds(0, 0, grey->cols, grey->rows);
  for (RoiFlow& roi : rois_) {
    if (!roi.settings.has_flow) continue;
    roi.area = roi.settings.rect & bounds;
    if (roi.area.width < 2 || roi.area.height < 2) {
      roi.previous.release();
      roi.points.clear();
      roi.from.clear();
      roi.to.clear();
      continue;
    }
    const cv::Mat crop = (*grey)(roi.area);
    try {
      Follow(crop, &roi);
      const bool periodic = frame_number % kRedetectPeriod == 0 &&
                            roi.settings.angle_threshold != 180;
      if (periodic || roi.points.empty()) Detect(crop, &roi);
      crop.copyTo(roi.previous);
    } catch (const cv::Exception& e) {
      NoteError(e.what());
      roi.previous.release();
      roi.points.clear();
      roi.from.clear();
      roi.to.clear();
    }
  }
}

bool FlowAttention::Decide(const RoiFlow& roi, const cv::Rect& box) const {
  int64_t sum_x = 0, sum_y = 0;
  int64_t count = 0;
  for (size_t i = 0; i < roi.to.size(); ++i) {
    const cv::Point2f at(roi.to[i].x + roi.area.x, roi.to[i].y + roi.area.y);
    if (!box.contains(at)) continue;
    sum_x += TruncateToInt(roi.to[i].x - roi.from[i].x);
    sum_y += TruncateToInt(roi.to[i].y - roi.from[i].y);
    ++count;
  }
  if (count == 0) return false;
  const double direction =
      std::atan2(static_cast<double>(sum_y), static_cast<double>(sum_x));
  const double flow = ConfiguredRadians(roi.settings.angle_flow);
  const double threshold = ConfiguredRadians(roi.settings.angle_threshold);
  const double difference = Wrap(direction - flow);
  const bool towards = -threshold < difference && difference < threshold;
  const double length = std::sqrt(static_cast<double>(sum_x) * sum_x +
                                  static_cast<double>(sum_y) * sum_y);
  const int64_t mean = static_cast<int64_t>(length / count);
  return towards && mean > TruncateToInt(roi.settings.module_threshold);
}

bool FlowAttention::Update(int32_t person_id, const cv::Rect& box) {
  bool decision = false;
  for (const RoiFlow& roi : rois_) {
    if (roi.settings.has_flow && Decide(roi, box)) {
      decision = true;
      break;
    }
  }
  timer_.Update(person_id, decision);
  return decision;
}

}  // namespace talvenrook_vision
