// The result step of FaceAnalyticsVideoV1 (Finish): tracking, the
// per-track step (face_analytics_tracks.cc) and the ended tracks.
#include <memory>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "vision/config/setup_notes.h"
#include "vision/face/common/result_ids.h"
#include "vision/face/pipeline/face_analytics_video_v1.h"

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;

}  // namespace

VisionResult FaceAnalyticsVideoV1::Finish(std::unique_ptr<FrameWork> work,
                                          const VisionRequest& request,
                                          const cv::Mat& frame) {
  requested_.reset();
  for (int tag : request.recognition()) {
    if (tag >= 0 && static_cast<size_t>(tag) < requested_.size())
      requested_.set(tag);
  }
  VisionResult result;
  std::unique_ptr<FrameRecord> record;
  if (auto* own = dynamic_cast<FrameRecord*>(work.get())) {
    work.release();
    record.reset(own);
  }
  if (!record) {
    NoteError("No frame was pushed for this result");
    return result;
  }
  if (record->pending) FinishPendingDetection(record.get());
  if (record->detect_on_result) {
    const int64_t start = cv::getTickCount();
    Detect(record.get());
    record->detect_on_result = false;
    record->detection_ticks += cv::getTickCount() - start;
  }
  ResultStep(request, *record, frame, &result);
  Recycle(std::move(record));
  return result;
}

double FaceAnalyticsVideoV1::FaceDistance(const cv::Rect& box) const {
  return distance_ ? distance_->EstimateDistance(box, "face") : 0.0;
}

void FaceAnalyticsVideoV1::ResultStep(const VisionRequest& request,
                                      const FrameRecord& record,
                                      const cv::Mat& shown,
                                      VisionResult* result) {
  const TrackingClock& clock = *this->clock();
  v1::FrameData* frame_data = result->mutable_frame_data();
  frame_data->mutable_start_time()->set_seconds(clock.CalendarSeconds());
  result->set_uuid(NewUuid());
  frame_data->set_id(static_cast<uint64_t>(record.number));
  TickMeterManagerBase& meter = performance();
  meter.Reset();
  SectionRecord detection;
  detection.count = 1;
  detection.total_ticks = record.detection_ticks;
  meter.SetSection("Detection", detection);
  meter.StartSection("Tracking");

  UpdateTracker(record);
  if (detector_) {
    detector_->TrackExtra(record.frame, record.grey, record.number,
                          record.people, result, tracker_.get());
  }
  meter.StopSection("Tracking");
  meter.StartSection("Classification");
  next_previous_boxes_.clear();
  next_previous_scores_.clear();
  for (const Track* track : tracker_->GetTracks()) {
    TrackStep(*track, record, result);
  }
  {
    std::lock_guard<std::mutex> lock(previous_mutex_);
    previous_boxes_.swap(next_previous_boxes_);
    previous_scores_.swap(next_previous_scores_);
  }
  meter.StopSection("Classification");
  tracker_->KeepAliveOutside(record.regions);
  EndedTracksStep(result);
  ForgetDroppedTracks();
  if (detector_) {
    detector_->FinishFrame(shown, record.grey, record.number, result);
  }
  frame_data->mutable_end_time()->set_seconds(clock.CalendarSeconds());
  meter.ExportSections(frame_data->mutable_sections());
}

void FaceAnalyticsVideoV1::UpdateTracker(const FrameRecord& record) {
  const size_t n = record.aligned.size();
  classes_.resize(n);
  for (size_t i = 0; i < n; ++i) classes_[i] = static_cast<int32_t>(i + 1);
  descriptors_.clear();
  if (tracker_->parameters().deals_with_occlusion && descriptor_ &&
      descriptor_->extractor() != nullptr) {
    const cv::Rect frame(0, 0, record.frame.cols, record.frame.rows);
    descriptors_.resize(n);
    for (size_t i = 0; i < n; ++i) {
      const cv::Rect box = record.aligned[i] & frame;
      if (box.empty() || !descriptor_->extractor()->DescribeRow(
                             record.frame(box), &descriptors_[i])) {
        descriptors_[i] = cv::Mat();
      }
    }
  }
  tracker_->Update(record.aligned, record.combined, descriptors_, classes_,
                   record.moving);
}

// The per-track state of an ended track is forgotten afterwards with the
// other dropped tracks (ForgetDroppedTracks).
void FaceAnalyticsVideoV1::EndedTracksStep(VisionResult* result) {
  const int64_t now = clock()->CalendarSeconds();
  for (const Track& e : tracker_->EndedTracks()) {
    const int32_t id = e.id;
    const bool published = e.max_score >= settings_.detection_score_threshold &&
                           e.hits >= settings_.tracker_min_frames;
    RectangularDetection* d =
        published ? FinalDetection(e, result->add_rect_detection()) : nullptr;
    const float dwell = static_cast<float>(pose_filter_->LookingTime(id));
    auto entry = entries_.find(id);
    if (entry != entries_.end()) {
      v1::VisionEvent* start = result->add_vision_event();
      start->set_tag(v1::TRACKING_START);
      start->set_tracking_id(static_cast<uint64_t>(static_cast<uint32_t>(id)));
      start->set_dwell_time(dwell);
      start->set_session_time(e.tracked_seconds);
      start->mutable_timestamp()->set_seconds(entry->second.entry_time);
    }
    v1::VisionEvent* end = result->add_vision_event();
    end->set_tag(v1::TRACKING_END);
    end->set_tracking_id(static_cast<uint64_t>(static_cast<uint32_t>(id)));
    end->set_dwell_time(dwell);
    end->set_session_time(e.tracked_seconds);
    end->mutable_timestamp()->set_seconds(now);
    end->mutable_timestamp()->set_nanos(0);
    if (detector_) detector_->FaceEnded(e, d, !published);
  }
}

RectangularDetection* FaceAnalyticsVideoV1::FinalDetection(
    const Track& e, RectangularDetection* d) {
  const int32_t id = e.id;
  d->set_uuid(NewUuid());
  d->set_tag(v1::FACE);
  d->set_tracking_id(static_cast<uint64_t>(static_cast<uint32_t>(id)));
  d->set_type("face");
  if (distance_) d->set_distance(static_cast<float>(FaceDistance(e.box)));
  SetLocation(e.box, d->mutable_location());

  bool spoof = false;
  if (Requested(v1::SPOOF) && spoof_checking_ && spoof_) {
    auto checks = spoof_checks_.find(id);
    const int32_t done = checks == spoof_checks_.end() ? 0 : checks->second;
    if (done < settings_.max_spoof_checks) {
      spoof = spoof_->Label(id, false) == "spoof" && !e.flag;
    }
    AddRecognition(d, v1::SPOOF, 0.0f)->set_spoof(spoof);
  }
  bool masked = false;
  if (Requested(v1::MASK) && mask_ && !spoof) {
    mask_->Annotate(id, d, false);
    masked = mask_->Label(id, false) == "mask";
  }
  if (!spoof && !masked) classifiers_.Final(id, d);
  return d;
}

void FaceAnalyticsVideoV1::ForgetDroppedTracks() {
  // Ended tracks were handled above; these are also the tracks that died
  // unconfirmed or below the score threshold.
  for (int32_t id : tracker_->DroppedTrackIds()) {
    entries_.erase(id);
    spoof_checks_.erase(id);
    pose_filter_->Forget(id);
    classifiers_.Forget(id);
    if (spoof_) spoof_->ForgetTrack(id);
    if (mask_) mask_->ForgetTrack(id);
  }
}

void FaceAnalyticsVideoV1::Draw(cv::Mat& frame) {
  if (tracker_) tracker_->Draw(&frame, false);
}

}  // namespace talvenrook_vision
