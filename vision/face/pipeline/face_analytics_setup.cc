// Setup of FaceAnalyticsVideoV1: settings and models.
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "vision/config/setup_notes.h"
#include "vision/face/detect/face_person_detector.h"
#include "vision/face/detect/pico_detector_adapter.h"
#include "vision/face/detect/tiny_ssd_detector_adapter.h"
#include "vision/face/pipeline/face_analytics_video_v1.h"
#include "vision/face/pipeline/face_keys.h"
#include "vision/inference/model_files_check.h"

namespace talvenrook_vision {
namespace {

// A model that did not load; the message is why (empty when unknown), for
// the set-up loop to put after the model's name.
absl::Status LoadFailure(const std::string& reason) {
  return absl::Status(absl::StatusCode::kFailedPrecondition, reason);
}

}  // namespace

FaceAnalyticsVideoV1::FaceAnalyticsVideoV1()
    : pose_filter_(std::make_unique<PoseFilter>()),
      tracker_(std::make_unique<Tracker>()) {}

FaceAnalyticsVideoV1::~FaceAnalyticsVideoV1() = default;

void FaceAnalyticsVideoV1::ReadSettings(const Entity& c) {
  Settings s;
  const std::vector<KeyProblem> problems = FaceKeyTable().Read(c, &s);
  std::cerr << "Frames before firing entry event: " << s.frames_to_entry_event
            << std::endl;
  WriteKeyProblems(problems);
  settings_ = s;
}

absl::Status FaceAnalyticsVideoV1::Setup(const KestuEyeConfig& config) {
  std::cout << "Load from proto on face_analytics" << std::endl;
  const Entity& c = config.config();
  // Files that cannot be read refuse the configuration before any of the
  // networks is loaded.
  for (const Entity& model : config.models()) {
    const absl::Status files = CheckModelFiles(model);
    if (!files.ok()) {
      NoteError(files.message());
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
    distance_ = DistanceEstimator::FromConfig(settings_.distance_estimation);
  }
  rois_ = ReadRoiRectangles(c);
  movement_filter_.reset();
  if (HasProperty(c, "detection_movement_filter")) {
    movement_filter_ = std::make_unique<MovementFilter>();
    movement_filter_->Configure(
        AsEntity(GetProperty(c, "detection_movement_filter")), rois_);
  }
  classifiers_.Load(config);

  absl::Status status = absl::OkStatus();
  for (const Entity& model : config.models()) {
    if (!HasProperty(model, "engine")) continue;
    const absl::Status loaded = LoadModel(config, model);
    if (loaded.ok() || !status.ok()) continue;
    std::string reason = "Could not load the model " +
                         GetPropertyOr(model, "type", "") + ":" +
                         GetPropertyOr(model, "version", "");
    if (!loaded.message().empty()) reason += ": " + MessageOf(loaded);
    status = SetupError(reason);
  }
  if (!status.ok()) return status;
  if (detector_ == nullptr) {
    const std::string reason =
        "The face pipeline has no face detector model (SSD or PICOFACE)";
    NoteError(reason);
    return SetupError(reason);
  }
  if (landmarks_ == nullptr) {
    const std::string reason =
        "The face pipeline has no ALIGN model; every face needs its landmarks";
    NoteError(reason);
    return SetupError(reason);
  }
  return absl::OkStatus();
}

absl::Status FaceAnalyticsVideoV1::LoadModel(const KestuEyeConfig& config,
                                             const Entity& model) {
  const Entity& c = config.config();
  const std::string engine = GetPropertyOr(model, "engine", "");
  const std::string type = GetPropertyOr(model, "type", "");
  const std::string version = GetPropertyOr(model, "version", "");
  std::cout << "Loading model: [" << engine << "][" << type << "][" << version
            << "]" << std::endl;
  if (type.find("SSD") != std::string::npos) {
    if (ssd_loaded_) return absl::OkStatus();  // the first SSD model only
    ssd_loaded_ = true;
    return LoadSsdModel(config, model, engine, version);
  }
  if (type == "PICOFACE") {
    auto pico = std::make_unique<PicoDetectorAdapter>();
    pico->Load(config, model);
    detector_ = std::move(pico);
    if (HasProperty(c, "face_corrector_th")) {
      std::ostringstream threshold;
      threshold << settings_.face_corrector_th;
      NoteWarning(
          "Face corrector threshold is an advanced configuration when used "
          "with Pico Detector. Setting it to: " +
          threshold.str());
    } else {
      settings_.face_corrector_th = 0.0;
    }
  } else if (type == "ALIGN") {
    landmarks_ = std::make_unique<MTCNNLandmarkDetector>();
    const absl::Status loaded =
        landmarks_->Load(settings_.use_std_align_box, model);
    if (!loaded.ok()) {
      NoteError("The ALIGN model could not be loaded");
      return loaded;
    }
  } else if (type == "HEAD-POSE") {
    head_pose_on_ = head_pose_.Load(model);
    if (!head_pose_on_) {
      NoteError(
          "The HEAD-POSE model could not be loaded; head angles come from "
          "the landmarks");
    }
  } else if (type == "EYE-GAZE") {
    eye_gaze_on_ = eye_gaze_.Load(model, settings_.eye_horizontal_threshold,
                                  settings_.eye_vertical_threshold);
  } else if (type == "SPOOF") {
    if (movement_filter_ == nullptr) {
      NoteWarning(
          "Anti-spoof detection requires movement filter configuration.");
    } else {
      spoof_ = std::make_unique<SpoofDetector>();
      spoof_->Load(c, model);
      spoof_checking_ = true;
    }
  } else if (type == "MASK") {
    mask_ = std::make_unique<LabelClassifier>(kMaskField);
    mask_->Load(c, model);
  } else if (type == "IS_FACE") {
    absl::StatusOr<std::unique_ptr<ClassifierModel>> is_face =
        CreateClassifierModel(model);
    is_face_ = is_face.ok() ? std::move(*is_face) : nullptr;
  } else if (type == "FACE_DESCRIPTOR") {
    descriptor_ = std::make_unique<FaceDescriptorDetector>();
    descriptor_->Load(c, model);
  }
  return absl::OkStatus();
}

absl::Status FaceAnalyticsVideoV1::LoadSsdModel(const KestuEyeConfig& config,
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
    NoteError(
        "The SSD face model has engine TFLITE, which is not supported; the "
        "pipeline would have no face detector");
    return LoadFailure("");
  }
  std::unique_ptr<IDetector> detector;
  std::string reason;
  if (combined) {
    auto person = std::make_unique<FacePersonDetector>(clock());
    if (person->Load(config, model)) {
      detector = std::move(person);
    } else {
      reason = person->load_error();
    }
  } else {
    auto tiny = std::make_unique<TinySSDDetectorAdapter>();
    if (tiny->Load(config, model)) {
      tiny->detector().SetTaskRunner(task_runner());
      detector = std::move(tiny);
    } else {
      reason = tiny->load_error();
    }
  }
  if (detector == nullptr) {
    NoteError("The SSD face model could not be loaded");
    return LoadFailure(reason);
  }
  detector_ = std::move(detector);
  return absl::OkStatus();
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

}  // namespace talvenrook_vision
