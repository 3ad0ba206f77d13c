// The per-track step of FaceAnalyticsVideoV1: one FACE detection with its
// recognitions for a confirmed face track updated in the frame.
#include <cmath>

#include "vision/face/common/face_labels.h"
#include "vision/face/common/result_ids.h"
#include "vision/face/pipeline/face_analytics_video_v1.h"

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;

void SetPoint(const cv::Point2f& p, v1::Point* point) {
  point->set_x(static_cast<int32_t>(std::lround(p.x)));
  point->set_y(static_cast<int32_t>(std::lround(p.y)));
}

}  // namespace

void FaceAnalyticsVideoV1::TrackStep(const Track& track,
                                     const FrameRecord& record,
                                     VisionResult* result) {
  const cv::Rect frame_rect(0, 0, record.frame.cols, record.frame.rows);
  const int32_t id = track.id;
  const cv::Rect clipped = track.box & frame_rect;
  if (clipped.area() < kMinBoxArea) return;
  if (settings_.detection_score_threshold > track.max_score) return;
  const int32_t d = track.class_index - 1;
  const bool matched = d >= 0 && static_cast<size_t>(d) < record.boxes.size();

  RectangularDetection* detection = result->add_rect_detection();
  detection->set_uuid(NewUuid());
  detection->set_tag(v1::FACE);
  detection->set_tracking_id(static_cast<uint64_t>(static_cast<uint32_t>(id)));
  detection->set_type("face");
  if (settings_.do_score) detection->set_confidence(track.last_score);
  if (distance_)
    detection->set_distance(static_cast<float>(FaceDistance(clipped)));
  SetLocation(clipped, detection->mutable_location());

  FaceState face;
  CheckSpoofAndMask(track, record.frame(clipped), detection, &face);
  if (!matched) return;  // a track that names no detection of this frame
  if (settings_.face_corrector_th > record.combined[d]) return;
  if (settings_.enable_is_face_detection &&
      settings_.enable_delayed_is_face_detection && is_face_ != nullptr) {
    float probability = 0.0f;
    if (!IsFace(record.grey, track.box, &probability)) return;
    FacialRecognition* r = AddRecognition(detection, v1::IS_FACE, probability);
    r->set_is_face(true);
  }
  next_previous_boxes_.push_back(record.boxes[d]);
  next_previous_scores_.push_back(record.scores[d]);

  cv::Rect box = ScaleBox(track.box, settings_.classification_box_scale);
  box.x = static_cast<int>(box.x +
                           box.width * settings_.classification_box_offset_x);
  box.y = static_cast<int>(box.y +
                           box.height * settings_.classification_box_offset_y);
  box &= frame_rect;
  SetLocation(box, detection->mutable_location());
  if (box.empty()) return;
  const cv::Mat colour_crop = record.frame(box);
  const cv::Mat grey_crop = record.grey(box);

  EstimatePose(track, record, d, colour_crop, &face);
  EntryEvent(track, record.number, result, &face);
  if (eye_gaze_on_) {
    face.looking = eye_gaze_.IsLooking(record.frame, track.box, face.angles,
                                       record.landmarks[d].points);
  }
  if (Requested(v1::HEAD_POSE)) {
    FacialRecognition* r = AddRecognition(detection, v1::HEAD_POSE, 0.0f);
    r->set_pose_yaw(static_cast<float>(face.angles.yaw));
    r->set_pose_roll(static_cast<float>(face.angles.roll));
    r->set_pose_pitch(static_cast<float>(face.angles.pitch));
    r->set_is_looking(face.looking);
  }
  const std::vector<cv::Point2f>& points = record.landmarks[d].points;
  if (Requested(v1::FACE_FEATURES) && points.size() == 5) {
    FacialRecognition* r = AddRecognition(detection, v1::FACE_FEATURES, 0.0f);
    v1::FacialRecognition::BasicFaceFeature* f = r->mutable_basic_feature();
    SetPoint(points[1], f->add_left_eye());
    SetPoint(points[2], f->add_right_eye());
    SetPoint(points[3], f->add_nose());
    SetPoint(points[4], f->add_mouth());
  }
  Classify(track, record, d, colour_crop, grey_crop, detection, face);
}

void FaceAnalyticsVideoV1::CheckSpoofAndMask(const Track& track,
                                             const cv::Mat& crop,
                                             RectangularDetection* detection,
                                             FaceState* face) {
  const int32_t id = track.id;
  if (Requested(v1::SPOOF) && spoof_checking_ && spoof_) {
    int32_t& checks = spoof_checks_[id];
    if (checks < settings_.max_spoof_checks) {
      const std::string label =
          spoof_->ClassifyRegion(crop, id, track.box, false);
      face->spoof = label == "spoof" && !track.flag;
    }
    AddRecognition(detection, v1::SPOOF, 0.0f)->set_spoof(face->spoof);
    if (!face->spoof) ++checks;
  }
  if (Requested(v1::MASK) && mask_ && !face->spoof) {
    const std::string label = mask_->ClassifyRegion(crop, id, track.box, false);
    mask_->Annotate(id, detection, true);
    face->masked = label == "mask";
  }
}

void FaceAnalyticsVideoV1::EstimatePose(const Track& track,
                                        const FrameRecord& record, int32_t d,
                                        const cv::Mat& crop, FaceState* face) {
  if (head_pose_on_) {
    face->angles =
        pose_filter_->UpdateFromAngles(track.id, head_pose_.Estimate(crop));
  } else {
    face->angles =
        pose_filter_->UpdateFromPoints(track.id, record.landmarks[d].points);
  }
  face->looking = pose_filter_->IsLooking(track.id);
}

void FaceAnalyticsVideoV1::EntryEvent(const Track& track, int64_t frame_number,
                                      VisionResult* result, FaceState* face) {
  const int32_t id = track.id;
  if (!classifiers_.HasAnyVote(id)) {
    EntryState& entry = entries_[id];
    entry.due_frame = frame_number + settings_.frames_to_entry_event;
    entry.entry_time = clock()->CalendarSeconds();
  }
  if (!settings_.publish_entry_events) return;
  auto it = entries_.find(id);
  if (it == entries_.end()) return;
  face->pending = true;
  if (!(it->second.due_frame < frame_number)) return;
  v1::VisionEvent* event = result->add_vision_event();
  event->set_tag(v1::TRACKING_START);
  event->set_tracking_id(static_cast<uint64_t>(static_cast<uint32_t>(id)));
  event->set_dwell_time(static_cast<float>(pose_filter_->LookingTime(id)));
  event->set_session_time(track.tracked_seconds);
  event->mutable_timestamp()->set_seconds(it->second.entry_time);
  entries_.erase(it);
  face->entry_sent = true;
}

void FaceAnalyticsVideoV1::Classify(const Track& track,
                                    const FrameRecord& record, int32_t d,
                                    const cv::Mat& colour_crop,
                                    const cv::Mat& grey_crop,
                                    RectangularDetection* detection,
                                    const FaceState& face) {
  const bool looking_ok = face.looking || !settings_.only_classify_when_looking;
  const bool pose_ok =
      std::fabs(face.angles.yaw) <= settings_.yaw_threshold &&
      std::fabs(face.angles.roll) <= settings_.roll_threshold &&
      std::fabs(face.angles.pitch) <= settings_.pitch_threshold;
  if (!looking_ok || !pose_ok || face.spoof) return;
  const cv::Rect frame_rect(0, 0, record.frame.cols, record.frame.rows);
  const cv::Rect aligned = record.aligned[d] & frame_rect;
  SetLocation(aligned, detection->mutable_location());
  const int64_t n = record.number;
  const bool skip =
      (n + track.id) % settings_.classification_skip_frames != 0 &&
      !face.pending;
  classifiers_.Classify(n, grey_crop, colour_crop, aligned, track.id, skip,
                        detection, !face.entry_sent, face.masked);
  if (Requested(v1::FACE_DESCRIPTOR) && descriptor_) {
    descriptor_->Write(detection, colour_crop);
  }
}

}  // namespace talvenrook_vision
