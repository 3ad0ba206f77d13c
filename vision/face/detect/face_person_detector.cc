// Loading and detection of FacePersonDetector; the person tracking, the
// face association and the drawing are in face_person_tracking.cc.
#include "vision/face/detect/face_person_detector.h"

#include <algorithm>
#include <utility>

#include "vision/face/common/face_labels.h"
#include "vision/face/common/result_ids.h"
#include "vision/face/detect/tiny_ssd_detector_adapter.h"
#include "vision/tracking/tracker_keys.h"

namespace talvenrook_vision {

FacePersonDetector::FacePersonDetector(const TrackingClock* clock)
    : clock_(clock), person_tracker_(clock) {}

FacePersonDetector::~FacePersonDetector() = default;

cv::Rect FacePersonDetector::FaceBoxFromNetwork(const cv::Rect& box) {
  const double cx = box.x + box.width / 2.0;
  const double cy = box.y + box.height / 2.0;
  const int side = std::max(box.width, box.height) & ~1;
  const cv::Rect square(TruncateCoordinate(cx - side / 2.0),
                        TruncateCoordinate(cy - side / 2.0), side, side);
  cv::Rect face = ScaleBoxAboutCentre(square, 0.9);
  face.y = TruncateCoordinate(face.y + 0.15 * face.height);
  return face;
}

void FacePersonDetector::ReadSettings(const Entity& config) {
  Settings s;
  WriteKeyProblems(FacePersonKeyTable().Read(config, &s));
  settings_ = std::move(s);
}

void FacePersonDetector::ConfigurePersonTracker(const Entity& config) {
  Tracker::Parameters p;
  // The object trackers' frame counts, which the person tracker's own keys
  // may replace.
  TrackerKeyTable().ReadOnly(
      config, {"tracker_frames_to_count", "tracker_frames_to_discard"}, &p);
  p.frames_to_count =
      settings_.person_tracker_frames_to_count.value_or(p.frames_to_count);
  p.frames_to_discard = settings_.person_tracker_frames_to_discard.value_or(
      p.frames_to_discard + 10);
  p.deals_with_occlusion = false;
  p.max_missed = -1;
  p.distance_threshold = 2.0;
  p.deformation_threshold = 0.4;
  p.detection_score_threshold = 0.0f;
  p.match_group = true;
  p.descriptors_threshold = 0.75;
  p.descriptors_check_distance = true;
  p.reserved_id_offset = kPersonIdOffset;
  person_tracker_.Configure(p);
}

bool FacePersonDetector::Load(const KestuEyeConfig& config,
                              const Entity& model) {
  const Entity& pipeline = config.config();
  ReadSettings(pipeline);
  ConfigurePersonTracker(pipeline);
  networks_.Configure(ReadRoiRectangles(pipeline),
                      GetPropertyOr(pipeline, "use_fixed_input_size", false));
  attention_ = CreatePersonAttention(settings_.attention, clock_);
  bool loaded = true;
  for (const Entity& m : config.models()) {
    const std::string type = GetPropertyOr(m, "type", "");
    if (type == "GENDER_FULL") {
      classifiers_.LoadGender(pipeline, m);
    } else if (type == "AGE_FULL") {
      classifiers_.LoadAge(pipeline, m);
    } else if (type.find("SSD") != std::string::npos && !networks_.combined()) {
      loaded = networks_.Load(m) && loaded;
    }
  }
  settings_.full_body_gender =
      classifiers_.EnableGender(settings_.full_body_gender);
  settings_.full_body_age = classifiers_.EnableAge(settings_.full_body_age);
  return loaded && networks_.ready();
}

FaceFinds FacePersonDetector::Detect(const cv::Mat& frame, const cv::Mat& grey,
                                     int64_t frame_number) {
  regions_.assign(1, cv::Rect(0, 0, frame.cols, frame.rows));
  FacePersonNetworks::Found found;
  const bool ran = networks_.Detect(frame, &found);
  FaceFinds finds;
  if (ran && settings_.enable_person_detection) {
    finds.people.boxes = std::move(found.people);
    finds.people.scores = std::move(found.people_scores);
  }
  finds.faces.reserve(found.faces.size());
  for (const cv::Rect& box : found.faces)
    finds.faces.push_back(FaceBoxFromNetwork(box));
  finds.scores = std::move(found.face_scores);
  return finds;
}

}  // namespace talvenrook_vision
