// Loading and detection of FacePersonDetector; the person tracking, the
// face association and the drawing are in face_person_tracking.cc.
#include "vision/face/detect/face_person_detector.h"

#include <algorithm>
#include <iostream>

#include "vision/detectors/load_ssd_detector.h"
#include "vision/face/common/face_labels.h"
#include "vision/face/common/result_ids.h"
#include "vision/face/detect/tiny_ssd_detector_adapter.h"
#include "vision/tracking/tracker_keys.h"

namespace talvenrook_vision {
namespace {

int32_t IndexOf(const std::vector<std::string>& labels,
                const std::string& name) {
  const auto it = std::find(labels.begin(), labels.end(), name);
  return it == labels.end() ? -1 : static_cast<int32_t>(it - labels.begin());
}

// Boxes of one class (all of them for a negative class).
void KeepClass(const DetectionList& found, int32_t label,
               std::vector<cv::Rect>* boxes, std::vector<float>* scores) {
  for (size_t i = 0; i < found.boxes.size(); ++i) {
    if (label >= 0 && (i >= found.labels.size() || found.labels[i] != label))
      continue;
    boxes->push_back(found.boxes[i]);
    scores->push_back(i < found.confidences.size() ? found.confidences[i]
                                                   : 1.0f);
  }
}

}  // namespace

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
  ReadPropertyIfPresent(config, "enable_person_detection",
                        &s.enable_person_detection);
  ReadPropertyIfPresent(config, "enable_drawings", &s.enable_drawings);
  ReadPropertyIfPresent(config, "draw_people", &s.draw_people);
  ReadPropertyIfPresent(config, "draw_people_id", &s.draw_people_id);
  ReadPropertyIfPresent(config, "do_score", &s.do_score);
  // A double only: any other kind of value keeps the default.
  if (HasProperty(config, "detection_gender_threshold") &&
      GetProperty(config, "detection_gender_threshold").value_type_case() ==
          Value::kDoubleValue) {
    s.detection_gender_threshold =
        GetProperty(config, "detection_gender_threshold").double_value();
  }
  ReadPropertyIfPresent(config, "person_classification_skip_frames",
                        &s.person_classification_skip_frames);
  if (s.person_classification_skip_frames < 1) {
    std::cerr << "WARNING: person_classification_skip_frames must be at least "
                 "1, got "
              << s.person_classification_skip_frames << "; using 1"
              << std::endl;
    s.person_classification_skip_frames = 1;
  }
  settings_ = s;

  Tracker::Parameters p;
  // The object trackers' frame counts, which the person tracker's own keys
  // below may replace.
  TrackerKeyTable().ReadOnly(
      config, {"tracker_frames_to_count", "tracker_frames_to_discard"}, &p);
  const int32_t count = p.frames_to_count;
  p.frames_to_count =
      GetPropertyOr<int32_t>(config, "person_tracker_frames_to_count", count);
  p.frames_to_discard = GetPropertyOr<int32_t>(
      config, "person_tracker_frames_to_discard", p.frames_to_discard + 10);
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
  rois_ = ReadRoiRectangles(pipeline);
  fixed_input_size_ = GetPropertyOr(pipeline, "use_fixed_input_size", false);
  attention_settings_ = ReadAttentionSettings(pipeline);
  attention_ = CreatePersonAttention(attention_settings_, clock_);
  bool gender_model = false, age_model = false;
  bool loaded = true;
  for (const Entity& m : config.models()) {
    const std::string type = GetPropertyOr(m, "type", "");
    if (type == "GENDER_FULL") {
      gender_ = std::make_unique<GenderDetector>();
      gender_->Load(pipeline, m);
      gender_model = true;
    } else if (type == "AGE_FULL") {
      age_ = std::make_unique<AgeClassDetector>();
      age_->Load(pipeline, m);
      age_model = true;
    } else if (type.find("SSD") != std::string::npos && !combined_) {
      loaded = LoadSsdModel(m) && loaded;
    }
  }
  settings_.full_body_gender =
      gender_model && GetPropertyOr(pipeline, "full_body_gender", false);
  settings_.full_body_age =
      age_model && GetPropertyOr(pipeline, "full_body_age", false);
  return loaded && ssd_ != nullptr;
}

bool FacePersonDetector::LoadSsdModel(const Entity& model) {
  const std::string type = GetPropertyOr(model, "type", "");
  const std::string version = GetPropertyOr(model, "version", "");
  const std::string engine =
      NormalizeEngineName(GetPropertyOr(model, "engine", "Caffe"));
  int32_t face = 1, person = 2;
  bool combined = false;
  const Entity content = HasProperty(model, "content")
                             ? AsEntity(GetProperty(model, "content"))
                             : Entity();
  if (HasProperty(content, "labels")) {
    std::vector<std::string> labels;
    ReadPropertyIfPresent(content, "labels", &labels);
    face = IndexOf(labels, "face");
    person = IndexOf(labels, "person");
    combined = face >= 0 && person >= 0;
  } else {
    combined = type == "SSD-DETECTOR" && version == "0.0.2";
  }
  auto detector = std::make_unique<SSDDetector>();
  if (!LoadSSDDetector(detector.get(), model, rois_, engine)) {
    std::cerr << "Error loading SSD model" << std::endl;
    return false;
  }
  if (combined || face == -1) {
    person_index_ = person;
    if (combined) {
      face_index_ = face;
      combined_ = true;
      ssd_ = std::move(detector);
    } else {
      person_ssd_ = std::move(detector);
    }
  } else {
    face_index_ = face;
    ssd_ = std::move(detector);
  }
  return true;
}

std::vector<cv::Rect> FacePersonDetector::Detect(const cv::Mat& frame,
                                                 const cv::Mat& grey,
                                                 int64_t frame_number,
                                                 std::vector<float>* scores) {
  regions_.assign(1, cv::Rect(0, 0, frame.cols, frame.rows));
  std::vector<cv::Rect> network_faces;
  std::vector<float> face_scores;
  DetectPeople(frame, frame_number, &network_faces, &face_scores);
  std::vector<cv::Rect> faces;
  faces.reserve(network_faces.size());
  for (const cv::Rect& box : network_faces)
    faces.push_back(FaceBoxFromNetwork(box));
  if (scores != nullptr)
    scores->insert(scores->end(), face_scores.begin(), face_scores.end());
  return faces;
}

void FacePersonDetector::DetectPeople(const cv::Mat& frame,
                                      int64_t frame_number,
                                      std::vector<cv::Rect>* faces,
                                      std::vector<float>* scores) {
  FramePeople people;
  people.frame_number = frame_number;
  if (ssd_ == nullptr || frame.empty()) return;
  if (combined_) {
    const std::vector<DetectionList> outputs = ssd_->DetectOutputs(
        frame, fixed_input_size_, {kFaceOutput, kPersonOutput});
    if (outputs.size() == 2) {
      KeepClass(outputs[0], -1, faces, scores);
      KeepClass(outputs[1], -1, &people.boxes, &people.scores);
    }
  } else {
    KeepClass(ssd_->Detect(frame, fixed_input_size_, ""), face_index_, faces,
              scores);
    if (person_ssd_ != nullptr) {
      KeepClass(person_ssd_->Detect(frame, fixed_input_size_, ""),
                person_index_, &people.boxes, &people.scores);
    }
  }
  if (!settings_.enable_person_detection) return;
  std::lock_guard<std::mutex> lock(people_mutex_);
  people_.push_back(std::move(people));
  // Frames whose result step never asks for their people (none should
  // exist) cannot pile up.
  constexpr size_t kMaxPendingFrames = 64;
  while (people_.size() > kMaxPendingFrames) people_.pop_front();
}

bool FacePersonDetector::TakePeople(int64_t frame_number, FramePeople* people) {
  std::lock_guard<std::mutex> lock(people_mutex_);
  while (!people_.empty() && people_.front().frame_number < frame_number)
    people_.pop_front();
  if (people_.empty() || people_.front().frame_number != frame_number)
    return false;
  *people = std::move(people_.front());
  people_.pop_front();
  return true;
}

}  // namespace talvenrook_vision
