// The per-frame work of SSDAnalyticsVideoV1: detection, filtering,
// tracking, events and drawing.
#include <utility>

#include <opencv2/imgproc.hpp>

#include "vision/analytics/result_location.h"
#include "vision/config/setup_notes.h"
#include "vision/objects/measurements.h"
#include "vision/objects/ssd_analytics_video_v1.h"

namespace talvenrook_vision {
namespace {

const cv::Scalar kRawBoxColour(255, 0, 0);

std::string LabelOf(const DetectorAdapter* adapter, int32_t index) {
  return adapter ? adapter->Label(index) : std::string();
}

// What OpenCV refused, as a frame's failure.
absl::Status Refused(const cv::Exception& e) {
  return absl::InternalError(e.what());
}

void WriteError(const absl::Status& status) { NoteError(MessageOf(status)); }

}  // namespace

// Every frame takes the same steps: StartFrame, the regions' detection,
// FinishFrame. A frame begun ahead is pushed to the regions' detectors and
// its lists are popped in Finish; any other is detected at once.
std::unique_ptr<FrameWork> SSDAnalyticsVideoV1::BeginAtMoment(
    const cv::Mat& frame, bool ahead, int moment) {
  const int64_t start = cv::getTickCount();
  auto work = std::make_unique<ObjectWork>();
  work->ticket = StartFrame(frame);
  work->pushed = ahead;
  if (ahead) {
    PushRegions(frame, moment, work.get());
  } else {
    work->lists = DetectRegions(frame, work->ticket, moment);
  }
  work->begin_ticks = cv::getTickCount() - start;
  return work;
}

VisionResult SSDAnalyticsVideoV1::Finish(std::unique_ptr<FrameWork> work,
                                         const VisionRequest& request,
                                         const cv::Mat& frame) {
  TickMeterManagerBase& meter = performance();
  meter.Reset();
  meter.StartSection("Detection");
  // Work of another pipeline, or none, detected nothing.
  auto* own = dynamic_cast<ObjectWork*>(work.get());
  ObjectWork nothing;
  if (own == nullptr) {
    nothing.lists = std::vector<DetectionList>(regions_.rois().size());
    own = &nothing;
  }
  absl::StatusOr<std::vector<DetectionList>> lists =
      own->pushed ? PopRegions(own->regions) : std::move(own->lists);
  VisionResult result = FinishFrame(own->ticket, std::move(lists), frame);
  meter.StopSection("Detection");
  meter.AddTicks("Detection", own->begin_ticks);
  ReportMeasurements(meter, ObjectMeasurementCounter());
  return result;
}

SSDAnalyticsVideoV1::FrameTicket SSDAnalyticsVideoV1::StartFrame(
    const cv::Mat& frame) {
  CheckRegions(frame.size());
  FrameTicket ticket;
  if (!gate_.enabled()) return ticket;
  try {
    std::lock_guard<std::mutex> lock(gate_mutex_);
    ticket.gate =
        gate_.Decide(frame, regions_.Regions(frame.size()), &followed_);
  } catch (const cv::Exception& e) {
    // No region runs on a frame the gate could not judge.
    ticket.gate.assign(regions_.rois().size(), 0);
    ticket.status = Refused(e);
    WriteError(ticket.status);
  }
  return ticket;
}

VisionResult SSDAnalyticsVideoV1::FinishFrame(
    const FrameTicket& ticket, absl::StatusOr<std::vector<DetectionList>> lists,
    const cv::Mat& frame) {
  VisionResult result;
  // Only the last frame's raw boxes are drawn.
  last_detections_.clear();
  std::vector<DetectionList> detected = ListsOf(std::move(lists));
  // A frame the gate could not judge, or whose push OpenCV refused as a
  // whole (written when it happened).
  if (frame_status_.ok()) frame_status_ = ticket.status;
  BuildResult(detected, frame, &result, ticket.gate);
  return result;
}

std::vector<DetectionList> SSDAnalyticsVideoV1::Detect(const cv::Mat& frame) {
  CheckRegions(frame.size());
  return ListsOf(DetectRegions(frame, FrameTicket(), RoiSet::kJudge));
}

absl::StatusOr<std::vector<DetectionList>> SSDAnalyticsVideoV1::DetectRegions(
    const cv::Mat& frame, const FrameTicket& ticket, int moment) {
  try {
    return regions_.Detect(frame, ticket.gate.empty() ? nullptr : &ticket.gate,
                           moment);
  } catch (const cv::Exception& e) {
    return Refused(e);
  }
}

void SSDAnalyticsVideoV1::PushRegions(const cv::Mat& frame, int moment,
                                      ObjectWork* work) {
  // A region whose detector refused its crop has written its line, and
  // its list carries the reason when it is popped.
  const std::vector<char>& gate = work->ticket.gate;
  try {
    work->regions =
        regions_.PushFrame(frame, gate.empty() ? nullptr : &gate, moment);
  } catch (const cv::Exception& e) {
    const absl::Status refused = Refused(e);
    WriteError(refused);
    if (work->ticket.status.ok()) work->ticket.status = refused;
  }
}

absl::StatusOr<std::vector<DetectionList>> SSDAnalyticsVideoV1::PopRegions(
    const RoiSet::Pushed& pushed) {
  try {
    return regions_.PopDetections(pushed);
  } catch (const cv::Exception& e) {
    return Refused(e);
  }
}

std::vector<DetectionList> SSDAnalyticsVideoV1::ListsOf(
    absl::StatusOr<std::vector<DetectionList>> lists) {
  frame_status_ = lists.status();
  if (!lists.ok()) {
    WriteError(frame_status_);
    return std::vector<DetectionList>(regions_.rois().size());
  }
  // A region whose detector could not run (its line is written already).
  for (const DetectionList& list : *lists) {
    if (!list.status.ok()) {
      frame_status_ = list.status;
      break;
    }
  }
  return *std::move(lists);
}

VisionResult SSDAnalyticsVideoV1::ResultFromDetections(
    std::vector<DetectionList> lists, const cv::Mat& frame) {
  VisionResult result;
  last_detections_.clear();
  BuildResult(lists, frame, &result);
  return result;
}

void SSDAnalyticsVideoV1::CountGatedFrames(VisionResult* result) const {
  auto& sections = *result->mutable_frame_data()->mutable_sections();
  sections["detected_frames"] = static_cast<float>(gate_.detected());
  sections["skipped_frames"] = static_cast<float>(gate_.skipped());
}

void SSDAnalyticsVideoV1::BuildResult(std::vector<DetectionList>& lists,
                                      const cv::Mat& frame,
                                      VisionResult* result,
                                      const std::vector<char>& detected) {
  dropped_.clear();
  const int64_t ticks = clock()->Ticks();
  const auto& rois = regions_.rois();
  for (size_t i = 0; i < lists.size() && i < rois.size(); ++i) {
    const DetectorAdapter* adapter = rois[i]->ActiveAdapter();
    if (tracker_enabled_ && i < trackers_.size()) {
      const bool ran = i >= detected.size() || detected[i];
      TrackedPartialResult(adapter, *trackers_[i], rois[i]->index(), lists[i],
                           frame, ran, ticks, result);
    } else {
      PartialResult(adapter, lists[i], result);
    }
  }
  if (gate_.enabled()) {
    std::lock_guard<std::mutex> lock(gate_mutex_);
    CountGatedFrames(result);
    KeepFollowedBoxes();
  }
}

void SSDAnalyticsVideoV1::KeepFollowedBoxes() {
  followed_.resize(trackers_.size());
  for (size_t i = 0; i < trackers_.size(); ++i) {
    followed_[i].clear();
    for (const Track& track : trackers_[i]->tracks()) {
      if (track.updated && trackers_[i]->Confirmed(track)) {
        followed_[i].push_back(track.box);
      }
    }
  }
}

void SSDAnalyticsVideoV1::PartialResult(const DetectorAdapter* adapter,
                                        DetectionList& list,
                                        VisionResult* result) {
  filter_.Apply(&list);
  last_detections_.push_back(list);
  for (size_t j = 0; j < list.boxes.size(); ++j) {
    auto* detection = result->add_rect_detection();
    SetLocation(list.boxes[j], detection->mutable_location());
    const bool labelled = j < list.labels.size();
    const std::string label =
        labelled ? LabelOf(adapter, list.labels[j]) : std::string();
    if (labelled) detection->set_type(label);
    if (j < list.confidences.size())
      detection->set_confidence(list.confidences[j]);
    if (distance_ && labelled)
      detection->set_distance(
          static_cast<float>(EstimateDistance(list.boxes[j], label)));
  }
}

void SSDAnalyticsVideoV1::TrackedPartialResult(const DetectorAdapter* adapter,
                                               Tracker& tracker, int roi_index,
                                               DetectionList& list,
                                               const cv::Mat& frame,
                                               bool detected, int64_t ticks,
                                               VisionResult* result) {
  if (detected) {
    filter_.Apply(&list);
    descriptors_.clear();
    if (appearance_) {
      appearance_descriptor_.Compute(frame, list.boxes, &descriptors_);
    }
    tracker.Update(list.boxes, list.confidences, descriptors_, list.labels, {});
    liveness_.Judge(frame, &tracker);
  } else {
    // Nothing moved here: the tracks go on along their predictions.
    tracker.CarryForward();
  }
  for (const Track* track : tracker.GetTracks()) {
    class_vote_.Vote(track->id, track->class_index, track->last_score);
    const int first_event = result->vision_event_size();
    zone_events_.Emit(*track, ticks, result);
    summaries_.RecordCrossings(track->id, *result, first_event);
    AddTrackDetection(adapter, *track, result);
  }
  const bool roi_exits = zone_events_.empty();
  for (const Track& track : tracker.EndedTracks()) {
    if (!roi_exits && !summaries_.enabled()) continue;
    AddTrackDetection(adapter, track, result);
    if (roi_exits) zone_events_.EmitRoiExit(track, roi_index, result);
    if (summaries_.enabled()) {
      summaries_.EmitEnd(track, clock()->CalendarSeconds(), result);
    }
  }
  // The zones, areas, speed histories, votes and summaries of every track
  // that went (ended or not) go with it.
  ForgetDroppedTracks(tracker, &zone_events_, &class_vote_);
  const auto& dropped = tracker.DroppedTrackIds();
  for (int32_t id : dropped) summaries_.Forget(id);
  liveness_.Forget(dropped);
  dropped_.insert(dropped_.end(), dropped.begin(), dropped.end());
}

void SSDAnalyticsVideoV1::AddTrackDetection(const DetectorAdapter* adapter,
                                            const Track& track,
                                            VisionResult* result) const {
  auto* detection = result->add_rect_detection();
  SetLocation(track.box, detection->mutable_location());
  detection->set_tracking_id(static_cast<uint64_t>(track.id));
  detection->set_type(LabelOf(adapter, class_vote_.Mode(track.id)));
  detection->set_confidence(track.max_score);
  if (distance_) {
    detection->set_distance(static_cast<float>(
        EstimateDistance(track.box, LabelOf(adapter, track.class_index))));
  }
}

void SSDAnalyticsVideoV1::Draw(cv::Mat& frame) {
  if (frame.empty()) return;
  regions_.Draw(frame);
  if (tracker_enabled_) {
    if (draw_objects_) {
      for (const auto& tracker : trackers_) tracker->Draw(&frame, true);
    }
    zone_events_.Draw(frame);
    return;
  }
  for (const DetectionList& list : last_detections_) {
    for (const cv::Rect& box : list.boxes)
      cv::rectangle(frame, box, kRawBoxColour, 3, cv::LINE_8);
  }
}

}  // namespace talvenrook_vision
