// The result-thread side of FacePersonDetector: person tracking and
// reporting, the face-to-person association, ended people and drawing.
#include <opencv2/imgproc.hpp>

#include "vision/face/common/face_labels.h"
#include "vision/face/common/result_ids.h"
#include "vision/face/detect/face_person_detector.h"

namespace talvenrook_vision {
namespace {

namespace v1 = ::talvenrook::vision::v1;

const cv::Scalar kPersonColour(64, 192, 64);
const cv::Scalar kBodyColour(128, 128, 128);
const cv::Scalar kAttentionColour(171, 197, 158);

bool Inside(const cv::Rect& inner, const cv::Rect& outer) {
  return (inner & outer) == inner && inner.area() > 0;
}

}  // namespace

void FacePersonDetector::TrackExtra(const cv::Mat& frame, const cv::Mat& grey,
                                    int64_t frame_number, VisionResult* result,
                                    Tracker* face_tracker) {
  if (!settings_.enable_person_detection) return;
  FramePeople people;
  TakePeople(frame_number, &people);
  person_tracker_.Update(people.boxes, people.scores);
  if (attention_) attention_->BeginFrame(grey, frame_number);
  last_people_.clear();
  for (const Track* person : person_tracker_.GetTracks()) {
    ReportPerson(*person, frame, frame_number, result);
    last_people_.push_back(person->box);
  }
  if (face_tracker != nullptr) {
    Associate(face_tracker);
    dropped_faces_ = face_tracker->DroppedTrackIds();
  }
}

void FacePersonDetector::ReportPerson(const Track& person, const cv::Mat& frame,
                                      int64_t frame_number,
                                      VisionResult* result) {
  const bool looking =
      attention_ ? attention_->Update(person.id, person.box) : false;
  RectangularDetection* d = result->add_rect_detection();
  d->set_uuid(NewUuid());
  d->set_tag(v1::PERSON);
  d->set_tracking_id(ReportedPersonId(person.id));
  d->set_type("person");
  d->set_attention_time(
      attention_ ? static_cast<float>(attention_->AttentionTime(person.id))
                 : 0.0f);
  FacialRecognition* pose = d->add_facial_recognition();
  pose->set_tag(v1::HEAD_POSE);
  pose->set_is_looking(looking);
  if (settings_.do_score) d->set_confidence(person.max_score);
  SetLocation(person.box, d->mutable_location());
  if (person.max_score <= settings_.detection_gender_threshold) return;
  const cv::Rect clipped = person.box & cv::Rect(0, 0, frame.cols, frame.rows);
  if (clipped.empty()) return;
  const cv::Mat crop = frame(clipped);
  const bool skip = (person.id + frame_number) %
                        settings_.person_classification_skip_frames !=
                    0;
  if (settings_.full_body_gender && gender_) {
    gender_->ClassifyRegion(crop, person.id, person.box, skip);
    gender_->Annotate(person.id, d, true);
  }
  if (settings_.full_body_age && age_) {
    age_->ClassifyRegion(crop, person.id, person.box, skip);
    age_->Annotate(person.id, d, true);
  }
}

void FacePersonDetector::Associate(Tracker* face_tracker) {
  const std::vector<const Track*>& faces = face_tracker->GetTracks();
  for (const Track* person : person_tracker_.GetTracks()) {
    for (const Track* face : faces) {
      if (Inside(face->box, person->box)) ++faces_[person->id][face->id];
    }
  }
}

void FacePersonDetector::FaceEnded(const Track& face,
                                   RectangularDetection* detection,
                                   bool not_published) {
  int32_t best_person = -1;
  int32_t best_count = 0;
  bool tie = false;
  for (auto& [person, counts] : faces_) {
    auto it = counts.find(face.id);
    if (it == counts.end()) continue;
    if (not_published) {
      it->second = 0;
      continue;
    }
    if (it->second > best_count) {
      best_person = person;
      best_count = it->second;
      tie = false;
    } else if (it->second == best_count && best_count > 0) {
      tie = true;
    }
  }
  if (not_published || !settings_.full_body_gender || !gender_) return;
  if (best_person < 0 || tie || detection == nullptr) return;
  gender_->Annotate(best_person, detection, false);
  gender_->ForgetTrack(best_person);
}

bool FacePersonDetector::IsBody(int32_t person_id) const {
  if (bodies_.count(person_id) != 0) return true;
  auto it = faces_.find(person_id);
  if (it == faces_.end()) return false;
  for (const auto& entry : it->second) {
    if (entry.second > kBodyFrames) return true;
  }
  return false;
}

void FacePersonDetector::ReportEndedPerson(const Track& person,
                                           VisionResult* result) {
  const uint64_t reported = ReportedPersonId(person.id);
  v1::VisionEvent* event = result->add_vision_event();
  event->set_tag(v1::TRACKING_END);
  event->set_tracking_id(reported);
  event->set_dwell_time(
      attention_ ? static_cast<float>(attention_->AttentionTime(person.id))
                 : 0.0f);
  event->set_session_time(person.tracked_seconds);
  event->mutable_timestamp()->set_seconds(clock_->CalendarSeconds());
  RectangularDetection* d = result->add_rect_detection();
  d->set_uuid(NewUuid());
  d->set_tag(v1::PERSON);
  d->set_tracking_id(reported);
  d->set_type("person");
  if (settings_.full_body_gender && gender_ && gender_->HasVote(person.id))
    gender_->Annotate(person.id, d, false);
  SetLocation(person.box, d->mutable_location());
}

void FacePersonDetector::ForgetPerson(int32_t person_id) {
  if (attention_) attention_->Forget(person_id);
  faces_.erase(person_id);
  bodies_.erase(person_id);
  if (gender_) gender_->ForgetTrack(person_id);
  if (age_) age_->ForgetTrack(person_id);
}

void FacePersonDetector::ForgetFaces() {
  // A face that is gone leaves the tables; the people that were its body
  // remember it.
  for (int32_t face : dropped_faces_) {
    for (auto& [person, counts] : faces_) {
      auto it = counts.find(face);
      if (it == counts.end()) continue;
      if (it->second > kBodyFrames) bodies_.insert(person);
      counts.erase(it);
    }
  }
  dropped_faces_.clear();
}

void FacePersonDetector::FinishFrame(const cv::Mat& frame, const cv::Mat& grey,
                                     int64_t frame_number,
                                     VisionResult* result) {
  if (settings_.enable_person_detection) {
    for (const Track& person : person_tracker_.EndedTracks()) {
      if (!IsBody(person.id)) ReportEndedPerson(person, result);
    }
    for (int32_t id : person_tracker_.DroppedTrackIds()) ForgetPerson(id);
    ForgetFaces();
  }
  if (settings_.enable_drawings && !frame.empty()) DrawOverlay(frame);
}

void FacePersonDetector::DrawOverlay(const cv::Mat& frame) const {
  cv::Mat canvas = frame;  // the caller's pixels
  for (const AttentionRoi& roi : attention_settings_.rois)
    cv::rectangle(canvas, roi.rect, kAttentionColour, 1);
  if (attention_settings_.has_point) {
    const AttentionPoint& p = attention_settings_.point;
    if (p.check_distance > 0)
      cv::circle(canvas, p.point, p.check_distance, cv::Scalar(128, 128, 0), 2);
    if (p.force_looking_distance > 0)
      cv::circle(canvas, p.point, p.force_looking_distance,
                 cv::Scalar(0, 128, 128), 2);
  }
  if (!settings_.enable_person_detection || !settings_.draw_people) return;
  for (const Track& person : person_tracker_.tracks()) {
    if (!person.updated ||
        person.hits <= person_tracker_.parameters().frames_to_count) {
      continue;
    }
    const cv::Scalar colour = IsBody(person.id) ? kBodyColour : kPersonColour;
    cv::rectangle(canvas, person.box, colour, 2);
    if (settings_.draw_people_id) {
      cv::putText(canvas, std::to_string(ReportedPersonId(person.id)),
                  person.box.tl() + cv::Point(2, 14), cv::FONT_HERSHEY_PLAIN,
                  1.0, colour, 1);
    }
  }
}

size_t FacePersonDetector::PersonStateSize() const {
  size_t n = faces_.size() + bodies_.size();
  return n;
}

}  // namespace talvenrook_vision
