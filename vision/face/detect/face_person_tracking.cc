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

}  // namespace

void FacePersonDetector::TrackExtra(const cv::Mat& frame, const cv::Mat& grey,
                                    int64_t frame_number,
                                    const FramePeople& people,
                                    VisionResult* result,
                                    Tracker* face_tracker) {
  if (!settings_.enable_person_detection) return;
  person_tracker_.Update(people.boxes, people.scores);
  if (attention_) attention_->BeginFrame(grey, frame_number);
  for (const Track* person : person_tracker_.GetTracks())
    ReportPerson(*person, frame, frame_number, result);
  if (face_tracker != nullptr) {
    links_.Associate(person_tracker_.GetTracks(), face_tracker->GetTracks());
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
  classifiers_.Classify(crop, person, skip, d);
}

void FacePersonDetector::FaceEnded(const Track& face,
                                   RectangularDetection* detection,
                                   bool not_published) {
  const int32_t body = links_.BodyOfEndedFace(face.id, not_published);
  if (not_published || body < 0 || detection == nullptr) return;
  classifiers_.GiveGender(body, detection);
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
  classifiers_.AnnotateEnded(person.id, d);
  SetLocation(person.box, d->mutable_location());
}

void FacePersonDetector::ForgetPerson(int32_t person_id) {
  if (attention_) attention_->Forget(person_id);
  links_.ForgetPerson(person_id);
  classifiers_.Forget(person_id);
}

void FacePersonDetector::FinishFrame(const cv::Mat& frame, const cv::Mat& grey,
                                     int64_t frame_number,
                                     VisionResult* result) {
  if (settings_.enable_person_detection) {
    for (const Track& person : person_tracker_.EndedTracks()) {
      if (!links_.IsBody(person.id)) ReportEndedPerson(person, result);
    }
    for (int32_t id : person_tracker_.DroppedTrackIds()) ForgetPerson(id);
    links_.ForgetFaces(dropped_faces_);
    dropped_faces_.clear();
  }
  if (settings_.enable_drawings && !frame.empty()) DrawOverlay(frame);
}

void FacePersonDetector::DrawOverlay(const cv::Mat& frame) const {
  cv::Mat canvas = frame;  // the caller's pixels
  const AttentionSettings& attention = settings_.attention;
  for (const AttentionRoi& roi : attention.rois)
    cv::rectangle(canvas, roi.rect, kAttentionColour, 1);
  if (attention.has_point) {
    const AttentionPoint& p = attention.point;
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
    const cv::Scalar colour =
        links_.IsBody(person.id) ? kBodyColour : kPersonColour;
    cv::rectangle(canvas, person.box, colour, 2);
    if (settings_.draw_people_id) {
      cv::putText(canvas, std::to_string(ReportedPersonId(person.id)),
                  person.box.tl() + cv::Point(2, 14), cv::FONT_HERSHEY_PLAIN,
                  1.0, colour, 1);
    }
  }
}

}  // namespace talvenrook_vision
