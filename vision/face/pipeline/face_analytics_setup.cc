// Setup of FaceAnalyticsVideoV1: settings and models.
#include <iostream>

#include "vision/face/detect/face_person_detector.h"
#include "vision/face/detect/pico_detector_adapter.h"
#include "vision/face/detect/tiny_ssd_detector_adapter.h"
#include "vision/face/pipeline/face_analytics_video_v1.h"
#include "vision/inference/model_files_check.h"

namespace talvenrook_vision {

FaceAnalyticsVideoV1::FaceAnalyticsVideoV1()
    : pose_filter_(std::make_unique<PoseFilter>()),
      tracker_(std::make_unique<Tracker>()) {}

FaceAnalyticsVideoV1::~FaceAnalyticsVideoV1() = default;

void FaceAnalyticsVideoV1::ReadSettings(const Entity& c) {
  Settings s;
  ReadPropertyIfPresent(c, "publish_entry_events", &s.publish_entry_events);
  ReadPropertyIfPresent(c, "frames_to_entry_event", &s.frames_to_entry_event);
  std::cerr << "Frames before firing entry event: " << s.frames_to_entry_event
            << std::endl;
  ReadPropertyIfPresent(c, "detection_score_threshold",
                        &s.detection_score_threshold);
  ReadPropertyIfPresent(c, "do_score", &s.do_score);
  ReadPropertyIfPresent(c, "yaw_threshold", &s.yaw_threshold);
  ReadPropertyIfPresent(c, "roll_threshold", &s.roll_threshold);
  ReadPropertyIfPresent(c, "pitch_threshold", &s.pitch_threshold);
  ReadPropertyIfPresent(c, "eye_horizontal_threshold",
                        &s.eye_horizontal_threshold);
  ReadPropertyIfPresent(c, "eye_vertical_threshold", &s.eye_vertical_threshold);
  ReadPropertyIfPresent(c, "is_face_threshold", &s.is_face_threshold);
  ReadPropertyIfPresent(c, "is_face_scale_factor", &s.is_face_scale_factor);
  ReadPropertyIfPresent(c, "classification_box_scale",
                        &s.classification_box_scale);
  ReadPropertyIfPresent(c, "classification_box_offset_x",
                        &s.classification_box_offset_x);
  ReadPropertyIfPresent(c, "classification_box_offset_y",
                        &s.classification_box_offset_y);
  ReadPropertyIfPresent(c, "tracker_min_frames", &s.tracker_min_frames);
  ReadPropertyIfPresent(c, "combine_previous_detections",
                        &s.combine_previous_detections);
  ReadPropertyIfPresent(c, "enable_is_face_detection",
                        &s.enable_is_face_detection);
  ReadPropertyIfPresent(c, "enable_delayed_is_face_detection",
                        &s.enable_delayed_is_face_detection);
  ReadPropertyIfPresent(c, "enable_person_detection",
                        &s.enable_person_detection);
  ReadPropertyIfPresent(c, "detector_skip_frames", &s.detector_skip_frames);
  ReadPropertyIfPresent(c, "classification_skip_frames",
                        &s.classification_skip_frames);
  if (s.classification_skip_frames < 1) {
    std::cerr << "WARNING: classification_skip_frames must be at least 1, got "
              << s.classification_skip_frames << "; using 1" << std::endl;
    s.classification_skip_frames = 1;
  }
  ReadPropertyIfPresent(c, "face_corrector_th", &s.face_corrector_th);
  ReadPropertyIfPresent(c, "only_classify_when_looking",
                        &s.only_classify_when_looking);
  ReadPropertyIfPresent(c, "max_spoof_checks", &s.max_spoof_checks);
  ReadPropertyIfPresent(c, "async_mode", &s.async_mode);
  settings_ = s;
}

SetupStatus FaceAnalyticsVideoV1::Setup(const KestuEyeConfig& config) {
  std::cout << "Load from proto on face_analytics" << std::endl;
  const Entity& c = config.config();
  // Files that cannot be read refuse the configuration before any of the
  // networks is loaded.
  for (const Entity& model : config.models()) {
    const SetupStatus files = CheckModelFiles(model);
    if (!files.ok()) {
      std::cerr << "ERROR: " << files.message() << std::endl;
      return files;
    }
  }
  ReadSettings(c);
  SetMonitorPerformance(GetPropertyOr(c, "monitor_performance", false));
  tracker_ = std::make_unique<Tracker>(clock());
  tracker_->Configure(c);
  pose_filter_ = std::make_unique<PoseFilter>(clock());
  pose_filter_->Configure(c);
  distance_.reset();
  if (HasProperty(c, "distance_estimation")) {
    distance_ = DistanceEstimator::FromConfig(
        AsEntity(GetProperty(c, "distance_estimation")));
  }
  rois_ = ReadRoiRectangles(c);
  movement_filter_.reset();
  if (HasProperty(c, "detection_movement_filter")) {
    movement_filter_ = std::make_unique<MovementFilter>();
    movement_filter_->Configure(
        AsEntity(GetProperty(c, "detection_movement_filter")), rois_);
  }
  classifiers_.Load(config);

  SetupStatus status = SetupStatus::Ok();
  for (const Entity& model : config.models()) {
    if (!HasProperty(model, "engine")) continue;
    SetLastLoadError("");
    if (LoadModel(config, model) || !status.ok()) continue;
    std::string reason = "Could not load the model " +
                         GetPropertyOr(model, "type", "") + ":" +
                         GetPropertyOr(model, "version", "");
    if (!LastLoadError().empty()) reason += ": " + LastLoadError();
    status = SetupStatus::Error(reason);
  }
  if (!status.ok()) return status;
  if (detector_ == nullptr) {
    const std::string reason =
        "The face pipeline has no face detector model (SSD or PICOFACE)";
    std::cerr << "ERROR: " << reason << std::endl;
    return SetupStatus::Error(reason);
  }
  if (landmarks_ == nullptr) {
    const std::string reason =
        "The face pipeline has no ALIGN model; every face needs its landmarks";
    std::cerr << "ERROR: " << reason << std::endl;
    return SetupStatus::Error(reason);
  }
  return SetupStatus::Ok();
}

bool FaceAnalyticsVideoV1::LoadModel(const KestuEyeConfig& config,
                                     const Entity& model) {
  const Entity& c = config.config();
  const std::string engine = GetPropertyOr(model, "engine", "");
  const std::string type = GetPropertyOr(model, "type", "");
  const std::string version = GetPropertyOr(model, "version", "");
  std::cout << "Loading model: [" << engine << "][" << type << "][" << version
            << "]" << std::endl;
  if (type.find("SSD") != std::string::npos) {
    if (ssd_loaded_) return true;  // the first SSD model only
    ssd_loaded_ = true;
    return LoadSsdModel(config, model, engine, version);
  }
  if (type == "PICOFACE") {
    auto pico = std::make_unique<PicoDetectorAdapter>();
    pico->Load(config, model);
    detector_ = std::move(pico);
    if (HasProperty(c, "face_corrector_th")) {
      std::cerr << "WARNING: Face corrector threshold is an advanced "
                   "configuration when used with Pico Detector. Setting it to: "
                << settings_.face_corrector_th << std::endl;
    } else {
      settings_.face_corrector_th = 0.0;
    }
  } else if (type == "ALIGN") {
    landmarks_ = std::make_unique<MTCNNLandmarkDetector>();
    if (!landmarks_->Load(c, model)) {
      std::cerr << "ERROR: The ALIGN model could not be loaded" << std::endl;
      return false;
    }
  } else if (type == "HEAD-POSE") {
    head_pose_on_ = head_pose_.Load(model);
    if (!head_pose_on_) {
      std::cerr << "ERROR: The HEAD-POSE model could not be loaded; head "
                   "angles come from the landmarks"
                << std::endl;
    }
  } else if (type == "EYE-GAZE") {
    eye_gaze_on_ = eye_gaze_.Load(model, settings_.eye_horizontal_threshold,
                                  settings_.eye_vertical_threshold);
  } else if (type == "SPOOF") {
    if (movement_filter_ == nullptr) {
      std::cerr << "WARNING: Anti-spoof detection requires movement filter "
                   "configuration."
                << std::endl;
    } else {
      spoof_ = std::make_unique<SpoofDetector>();
      spoof_->Load(c, model);
      spoof_checking_ = true;
    }
  } else if (type == "MASK") {
    mask_ = std::make_unique<MaskDetector>();
    mask_->Load(c, model);
  } else if (type == "IS_FACE") {
    is_face_ = CreateClassifierModel(model);
  } else if (type == "FACE_DESCRIPTOR") {
    descriptor_ = std::make_unique<FaceDescriptorDetector>();
    descriptor_->Load(c, model);
  }
  return true;
}

bool FaceAnalyticsVideoV1::LoadSsdModel(const KestuEyeConfig& config,
                                        const Entity& model,
                                        const std::string& engine,
                                        const std::string& version) {
  std::cerr << "Loading SSD-DETECTOR model...\n";
  bool combined = version == "0.0.2" || settings_.enable_person_detection;
  if (HasProperty(model, "config")) {
    const Entity& model_config = AsEntity(GetProperty(model, "config"));
    if (HasProperty(model_config, "is_face_person_model") &&
        GetProperty(model_config, "is_face_person_model").value_type_case() ==
            Value::kBooleanValue) {
      combined =
          GetProperty(model_config, "is_face_person_model").boolean_value();
    }
  }
  if (engine == "TFLITE") {
    std::cerr << "ERROR: The SSD face model has engine TFLITE, which is not "
                 "supported; the pipeline would have no face detector"
              << std::endl;
    return false;
  }
  std::unique_ptr<IDetector> detector;
  if (combined) {
    detector = std::make_unique<FacePersonDetector>(clock());
  } else {
    detector = std::make_unique<TinySSDDetectorAdapter>();
  }
  if (!detector->Load(config, model)) {
    std::cerr << "ERROR: The SSD face model could not be loaded" << std::endl;
    return false;
  }
  detector_ = std::move(detector);
  return true;
}

void FaceAnalyticsVideoV1::SetDetector(std::unique_ptr<IDetector> detector) {
  detector_ = std::move(detector);
}

void FaceAnalyticsVideoV1::SetLandmarkDetector(
    std::unique_ptr<MTCNNLandmarkDetector> landmarks) {
  landmarks_ = std::move(landmarks);
}

size_t FaceAnalyticsVideoV1::TrackStateSize() const {
  return entries_.size() + spoof_checks_.size() + pose_filter_->size();
}

size_t FaceAnalyticsVideoV1::QueuedFrames() const {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  return queue_.size();
}

}  // namespace talvenrook_vision
