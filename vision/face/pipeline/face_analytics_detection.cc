// The detection step of FaceAnalyticsVideoV1 (Begin) and its frame
// records.
#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "vision/config/setup_notes.h"
#include "vision/face/common/face_labels.h"
#include "vision/face/pipeline/face_analytics_video_v1.h"

namespace talvenrook_vision {
namespace {

const cv::Scalar kRoiOuterColour(89, 83, 77);
const cv::Scalar kRoiInnerColour(171, 197, 158);

void ToGrey(const cv::Mat& frame, cv::Mat* grey) {
  switch (frame.channels()) {
    case 1:
      frame.copyTo(*grey);
      break;
    case 4:
      cv::cvtColor(frame, *grey, cv::COLOR_BGRA2GRAY);
      break;
    default:
      cv::cvtColor(frame, *grey, cv::COLOR_BGR2GRAY);
  }
}

template <typename T>
void EraseAt(std::vector<T>* v, size_t i) {
  if (i < v->size()) v->erase(v->begin() + static_cast<std::ptrdiff_t>(i));
}

}  // namespace

void FaceAnalyticsVideoV1::FrameRecord::Clear() {
  number = 0;
  pending = false;
  detect_on_result = false;
  boxes.clear();
  scores.clear();
  people = FramePeople();
  moving.clear();
  landmarks.clear();
  aligned.clear();
  combined.clear();
  regions.clear();
  detection_ticks = 0;
}

cv::Rect FaceAnalyticsVideoV1::ScaleBox(const cv::Rect& box, double factor) {
  return ScaleBoxAboutCentre(box, factor);
}

bool FaceAnalyticsVideoV1::DetectorRunsOn(int64_t frame_number) const {
  // 0 and 1 both mean every frame: a remainder of 1 after dividing by 1
  // never occurs.
  const int64_t skip = settings_.detector_skip_frames;
  return settings_.async_mode || skip <= 1 || frame_number % skip == 1;
}

std::unique_ptr<FrameWork> FaceAnalyticsVideoV1::Begin(const cv::Mat& frame,
                                                       bool /*ahead*/) {
  std::unique_ptr<FrameRecord> owned = NewRecord();
  FrameRecord& record = *owned;
  if (!frame.empty()) {
    frame.copyTo(record.frame);
    ToGrey(record.frame, &record.grey);
  } else {
    record.frame.release();
    record.grey.release();
  }
  record.number = ++frame_count_;
  const int64_t start = cv::getTickCount();
  // In asynchronous mode a detector that can infer several frames at once
  // gets the frame now; the result thread collects its faces in order.
  if (settings_.async_mode && detector_ != nullptr && !record.frame.empty()) {
    detector_->BeforeDetect(record.grey, record.frame, record.number);
    if (detector_->PushesDetections()) {
      record.pending =
          detector_->PushDetect(record.frame, record.grey, record.number);
      if (record.pending) {
        ++detector_runs_;
      } else {
        record.detect_on_result = true;
      }
    }
  }
  if (!record.pending && !record.detect_on_result) Detect(&record);
  record.detection_ticks += cv::getTickCount() - start;
  DrawRois(frame);
  return owned;
}

void FaceAnalyticsVideoV1::Detect(FrameRecord* record) {
  if (detector_ == nullptr || record->frame.empty()) return;
  const int64_t n = record->number;
  if (!settings_.async_mode) {
    detector_->BeforeDetect(record->grey, record->frame, n);
  }
  const bool ran = DetectorRunsOn(n);
  if (ran) {
    ++detector_runs_;
    AcceptDetections(detector_->Detect(record->frame, record->grey, n), record);
  }
  CompleteDetection(ran, record);
}

void FaceAnalyticsVideoV1::FinishPendingDetection(FrameRecord* record) {
  const int64_t start = cv::getTickCount();
  AcceptDetections(detector_->PopDetect(record->frame, record->number), record);
  CompleteDetection(true, record);
  record->pending = false;
  record->detection_ticks += cv::getTickCount() - start;
}

void FaceAnalyticsVideoV1::AcceptDetections(FaceFinds finds,
                                            FrameRecord* record) {
  const std::vector<cv::Rect>& found = finds.faces;
  record->people = std::move(finds.people);
  record->scores = std::move(finds.scores);
  record->scores.resize(found.size(), 1.0f);
  for (size_t i = 0; i < found.size(); ++i) {
    if (found[i].area() <= kMinBoxArea) continue;
    record->boxes.push_back(found[i]);
    record->combined.push_back(record->scores[i]);  // scores, compacted
  }
  record->scores.swap(record->combined);
  record->combined.clear();
  if (settings_.combine_previous_detections) CombinePreviousDetections(record);
}

void FaceAnalyticsVideoV1::CompleteDetection(bool ran, FrameRecord* record) {
  FindLandmarks(record);
  if (settings_.enable_is_face_detection &&
      !settings_.enable_delayed_is_face_detection && is_face_ != nullptr) {
    RemoveNonFaces(record);
  }
  if (spoof_checking_ && movement_filter_ != nullptr) {
    record->moving = movement_filter_->Moving(record->grey, record->aligned,
                                              kMovingFraction);
  }
  detector_->AfterDetect(record->grey, record->frame, record->number);
  // Where the detector did not run this frame nothing was searched.
  if (ran) record->regions = detector_->Regions();
}

void FaceAnalyticsVideoV1::CombinePreviousDetections(FrameRecord* record) {
  // Without the landmark check (face corrector threshold 0, the pico
  // default) nothing would ever drop a carried face: a face the detector
  // looked for and did not find is then not carried over.
  const bool verified = settings_.face_corrector_th > 0.0;
  const std::vector<cv::Rect> searched =
      verified ? std::vector<cv::Rect>() : detector_->Regions();
  std::lock_guard<std::mutex> lock(previous_mutex_);
  const size_t found = record->boxes.size();
  for (size_t p = 0; p < previous_boxes_.size(); ++p) {
    const cv::Rect& previous = previous_boxes_[p];
    bool overlaps = false;
    for (size_t i = 0; i < found && !overlaps; ++i)
      overlaps = (previous & record->boxes[i]).area() > 0;
    if (overlaps) continue;
    const cv::Point centre = BoxCenter(previous);
    const bool looked_for = std::any_of(
        searched.begin(), searched.end(),
        [&](const cv::Rect& region) { return region.contains(centre); });
    if (looked_for) continue;
    record->boxes.push_back(previous);
    record->scores.push_back(p < previous_scores_.size() ? previous_scores_[p]
                                                         : 1.0f);
  }
}

void FaceAnalyticsVideoV1::FindLandmarks(FrameRecord* record) {
  const size_t n = record->boxes.size();
  record->landmarks.resize(n);
  record->aligned.resize(n);
  record->combined.resize(n);
  for (size_t i = 0; i < n; ++i) {
    LandmarkResult& lr = record->landmarks[i];
    if (landmarks_ != nullptr) {
      lr = landmarks_->Detect(record->frame, record->grey, record->boxes[i]);
    } else {
      lr = LandmarkResult();
      lr.aligned_box = record->boxes[i];
    }
    // A face the landmark network could not process keeps its own box.
    record->aligned[i] =
        lr.aligned_box.area() > 0 ? lr.aligned_box : record->boxes[i];
    record->combined[i] = std::min(record->scores[i], lr.confidence);
  }
}

void FaceAnalyticsVideoV1::RemoveNonFaces(FrameRecord* record) {
  for (size_t k = record->boxes.size(); k-- > 0;) {
    float probability = 0.0f;
    if (IsFace(record->grey, record->boxes[k], &probability)) continue;
    EraseAt(&record->boxes, k);
    EraseAt(&record->scores, k);
    EraseAt(&record->landmarks, k);
    EraseAt(&record->aligned, k);
    EraseAt(&record->combined, k);
  }
}

bool FaceAnalyticsVideoV1::IsFace(const cv::Mat& grey, const cv::Rect& box,
                                  float* probability) {
  *probability = 0.0f;
  if (is_face_ == nullptr || grey.empty()) return false;
  const cv::Rect scaled = ScaleBox(box, settings_.is_face_scale_factor) &
                          cv::Rect(0, 0, grey.cols, grey.rows);
  if (scaled.empty()) return false;
  const std::vector<float> output =
      is_face_->predictor()->Predict(grey(scaled), "");
  const int32_t best = ArgMax(output, output.size());
  if (best < 0) return false;
  *probability = output[static_cast<size_t>(best)];
  return is_face_->Label(best) == "face" &&
         *probability >= settings_.is_face_threshold;
}

void FaceAnalyticsVideoV1::DrawRois(const cv::Mat& frame) const {
  if (rois_.empty() || frame.empty()) return;
  cv::Mat canvas = frame;  // the caller's pixels; the record has its copy
  for (const cv::Rect& roi : rois_) {
    cv::rectangle(canvas, roi, kRoiOuterColour, 1);
    const cv::Rect inner(roi.x + 1, roi.y + 1, roi.width - 2, roi.height - 2);
    if (inner.width > 0 && inner.height > 0)
      cv::rectangle(canvas, inner, kRoiInnerColour, 1);
  }
}

std::unique_ptr<FaceAnalyticsVideoV1::FrameRecord>
FaceAnalyticsVideoV1::NewRecord() {
  std::unique_ptr<FrameRecord> record;
  {
    std::lock_guard<std::mutex> lock(spare_mutex_);
    if (!spare_.empty()) {
      record = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  if (!record) record = std::make_unique<FrameRecord>();
  record->Clear();
  return record;
}

void FaceAnalyticsVideoV1::Recycle(std::unique_ptr<FrameRecord> record) {
  constexpr size_t kMaxSpare = 8;
  std::lock_guard<std::mutex> lock(spare_mutex_);
  if (spare_.size() < kMaxSpare) spare_.push_back(std::move(record));
}

}  // namespace talvenrook_vision
