// FaceAnalyticsVideoV1: the face pipeline.
//
// Every frame goes through two steps:
//  - detection (Begin): the detector's faces, minus boxes of 25 pixels
//    or less, plus last frame's reported faces that the detector missed
//    ("combine_previous_detections"; with "face_corrector_th" 0 only those
//    outside the regions the detector searched, since no landmark check
//    would ever drop them); landmarks and an aligned box for each;
//    the is-face check; movement flags when spoof checking is on.
//  - result (Finish): the face Tracker's update, the detector's person
//    tracking, one FACE detection per confirmed face track updated in the
//    frame with its recognitions (spoof, mask, is-face, head pose, face
//    features, age, gender, emotion, ..., descriptor), the entry events,
//    and for every ended track its final detection (when it had enough
//    hits) with TRACKING_START (when still due) and TRACKING_END.
// Process runs both on the calling thread. The detection step's frame
// record is the FrameWork that the caller hands to the result step. With
// "async_mode" a detector with an inference ring (the face SSD) takes each
// frame as it is begun, so that several frames infer at once, and the
// result step finishes each frame's detection step (landmarks, is-face,
// movement) in order first.
//
// Setup refuses (a failure, after an "ERROR: " line) a configuration without a
// usable detector (no detector model, an SSD face model with engine
// "TFLITE", or a detector that does not load) or without a usable "ALIGN"
// landmark model: every detection needs its landmarks.
//
// Example configuration (KestuEyeConfig, protobuf text format):
//   config {
//     properties { key: "classification_box_scale" value { double_value: 1.4 }
//     } properties { key: "publish_entry_events" value { boolean_value: true }
//     }
//   }
//   models { properties { key: "type" value { string_value: "SSD-DETECTOR" } }
//            properties { key: "engine" value { string_value: "Tensorflow" } }
//            ... }
//   models { properties { key: "type" value { string_value: "ALIGN" } } ... }
//   models { properties { key: "type" value { string_value: "EMOTION" } } ... }
//
// Per-track state (entry and spoof-check tables, pose filter, classifier
// votes, descriptor and movement state) is dropped for every track the
// tracker drops, so it stays bounded by the live tracks.
#ifndef VISION_FACE_PIPELINE_FACE_ANALYTICS_VIDEO_V1_H_
#define VISION_FACE_PIPELINE_FACE_ANALYTICS_VIDEO_V1_H_

#include <atomic>
#include <bitset>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/analytics/distance_estimator.h"
#include "vision/analytics/vision_analytics.h"
#include "vision/face/attention/eye_gaze_detector.h"
#include "vision/face/attention/head_pose_detector.h"
#include "vision/face/attention/mtcnn_landmark_detector.h"
#include "vision/face/attention/pose_filter.h"
#include "vision/face/classify/face_classifier_set.h"
#include "vision/face/classify/face_classifiers.h"
#include "vision/face/classify/face_descriptor_detector.h"
#include "vision/face/detect/face_detector_interface.h"
#include "vision/face/pipeline/face_keys.h"
#include "vision/inference/classifier_model.h"
#include "vision/tracking/movement_filter.h"
#include "vision/tracking/tracker.h"

namespace talvenrook_vision {

class FaceAnalyticsVideoV1 : public VisionAnalytics {
 public:
  using Settings = FaceSettings;
  // Boxes of this area or less are dropped after detection.
  static constexpr int kMinBoxArea = 25;
  // Share of a box's pixels that must move for the box to be moving.
  static constexpr double kMovingFraction = 0.15;

  FaceAnalyticsVideoV1();
  ~FaceAnalyticsVideoV1() override;

  absl::Status Setup(const KestuEyeConfig& config) override;
  // The detection step; "async_mode", not `ahead`, says whether a ring
  // detector takes the frame now.
  std::unique_ptr<FrameWork> Begin(const cv::Mat& frame, bool ahead) override;
  // The result step.
  VisionResult Finish(std::unique_ptr<FrameWork> work,
                      const VisionRequest& request,
                      const cv::Mat& frame) override;
  // The confirmed face tracks updated in the last frame, without ids.
  void Draw(cv::Mat& frame) override;

  // Replace parts after Setup (tests and benchmarks drive the pipeline with
  // detectors of their own).
  void SetDetector(std::unique_ptr<IDetector> detector);
  void SetLandmarkDetector(std::unique_ptr<MTCNNLandmarkDetector> landmarks);

  const Settings& settings() const { return settings_; }
  IDetector* detector() const { return detector_.get(); }
  // Requires: Setup was called.
  Tracker& tracker() { return *tracker_; }
  int64_t frame_count() const { return frame_count_; }
  // Frames on which the detector ran.
  int64_t detector_runs() const { return detector_runs_; }
  bool spoof_checking() const { return spoof_checking_; }
  bool head_pose_on() const { return head_pose_on_; }
  // Entries of the per-track tables (entry, spoof checks, pose filter):
  // bounded by the live tracks.
  size_t TrackStateSize() const;

  // The box scaled about its centre by `factor` (truncated).
  static cv::Rect ScaleBox(const cv::Rect& box, double factor);

 private:
  struct FrameRecord : FrameWork {
    int64_t number = 0;
    cv::Mat frame;
    cv::Mat grey;
    std::vector<cv::Rect> boxes;
    std::vector<float> scores;
    FramePeople people;  // for the detector's TrackExtra
    std::vector<bool> moving;
    std::vector<LandmarkResult> landmarks;
    std::vector<cv::Rect> aligned;
    std::vector<float> combined;
    std::vector<cv::Rect> regions;
    int64_t detection_ticks = 0;
    // Pushed to the detector's inference ring; its faces are still to be
    // collected.
    bool pending = false;
    // Refused by the detector's inference ring: detected in the result
    // step in its turn, so that every detection of a ring detector
    // completes on that one thread.
    bool detect_on_result = false;
    void Clear();
  };
  struct EntryState {
    int64_t due_frame = 0;
    int64_t entry_time = 0;  // calendar seconds
  };
  // What the per-track step learned about one face.
  struct FaceState {
    bool spoof = false;
    bool masked = false;
    bool pending = false;
    bool entry_sent = false;
    bool looking = false;
    HeadAngles angles;
  };

  // Setup, in face_analytics_setup.cc.
  void ReadSettings(const Entity& config);
  // OK, or a failure whose message is the loader's reason (may be empty).
  absl::Status LoadModel(const KestuEyeConfig& config, const Entity& model);
  absl::Status LoadSsdModel(const KestuEyeConfig& config, const Entity& model,
                            const std::string& engine,
                            const std::string& version);

  // Detection step, in face_analytics_detection.cc.
  void Detect(FrameRecord* record);
  // The detection step of a pushed frame, on the result thread.
  void FinishPendingDetection(FrameRecord* record);
  void AcceptDetections(FaceFinds finds, FrameRecord* record);
  void CompleteDetection(bool ran, FrameRecord* record);
  bool DetectorRunsOn(int64_t frame_number) const;
  void CombinePreviousDetections(FrameRecord* record);
  void FindLandmarks(FrameRecord* record);
  void RemoveNonFaces(FrameRecord* record);
  bool IsFace(const cv::Mat& grey, const cv::Rect& box, float* probability);
  void DrawRois(const cv::Mat& frame) const;
  // A cleared record, a spare one when there is one.
  std::unique_ptr<FrameRecord> NewRecord();
  // Keeps the record's buffers for a later frame.
  void Recycle(std::unique_ptr<FrameRecord> record);

  // Result step, in face_analytics_result.cc and face_analytics_tracks.cc.
  void ResultStep(const VisionRequest& request, const FrameRecord& record,
                  const cv::Mat& shown, VisionResult* result);
  void UpdateTracker(const FrameRecord& record);
  void TrackStep(const Track& track, const FrameRecord& record,
                 VisionResult* result);
  void CheckSpoofAndMask(const Track& track, const cv::Mat& crop,
                         RectangularDetection* detection, FaceState* face);
  void EstimatePose(const Track& track, const FrameRecord& record, int32_t d,
                    const cv::Mat& crop, FaceState* face);
  void EntryEvent(const Track& track, int64_t frame_number,
                  VisionResult* result, FaceState* face);
  void Classify(const Track& track, const FrameRecord& record, int32_t d,
                const cv::Mat& colour_crop, const cv::Mat& grey_crop,
                RectangularDetection* detection, const FaceState& face);
  void EndedTracksStep(VisionResult* result);
  // Fills the final detection of a published ended track; returns it.
  RectangularDetection* FinalDetection(const Track& ended,
                                       RectangularDetection* detection);
  void ForgetDroppedTracks();
  bool Requested(RecognitionTag tag) const {
    return tag >= 0 && static_cast<size_t>(tag) < requested_.size() &&
           requested_.test(static_cast<size_t>(tag));
  }
  double FaceDistance(const cv::Rect& box) const;

  Settings settings_;
  std::unique_ptr<IDetector> detector_;
  std::unique_ptr<MTCNNLandmarkDetector> landmarks_;
  FaceClassifierSet classifiers_;
  std::unique_ptr<SpoofDetector> spoof_;
  std::unique_ptr<LabelClassifier> mask_;
  std::unique_ptr<ClassifierModel> is_face_;
  std::unique_ptr<FaceDescriptorDetector> descriptor_;
  HeadPoseDetector head_pose_;
  EyeGazeDetector eye_gaze_;
  std::unique_ptr<PoseFilter> pose_filter_;
  std::unique_ptr<MovementFilter> movement_filter_;
  std::unique_ptr<DistanceEstimator> distance_;
  std::unique_ptr<Tracker> tracker_;  // made in Setup with clock()
  std::vector<cv::Rect> rois_;
  bool ssd_loaded_ = false;
  bool spoof_checking_ = false;
  bool head_pose_on_ = false;
  bool eye_gaze_on_ = false;

  // Last frame's reported faces, written by the result step and read by
  // the detection step (two threads in asynchronous mode).
  mutable std::mutex
      previous_mutex_;  // guards previous_boxes_, previous_scores_
  std::vector<cv::Rect> previous_boxes_;
  std::vector<float> previous_scores_;
  std::vector<cv::Rect> next_previous_boxes_;  // result thread scratch
  std::vector<float> next_previous_scores_;

  // Detection thread.
  int64_t frame_count_ = 0;
  std::atomic<int64_t> detector_runs_{0};

  // Result thread.
  std::bitset<64> requested_;  // by EnumFacialRecognitionTag value
  std::unordered_map<int32_t, EntryState> entries_;
  std::unordered_map<int32_t, int32_t> spoof_checks_;
  std::vector<cv::Mat> descriptors_;  // scratch for the tracker update
  std::vector<int32_t> classes_;      // scratch
  std::vector<cv::Mat> colour_crops_;

  // Finished records, kept so that their buffers are reused (taken by the
  // detection step, given back by the result step).
  std::mutex spare_mutex_;  // guards spare_
  std::vector<std::unique_ptr<FrameRecord>> spare_;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_PIPELINE_FACE_ANALYTICS_VIDEO_V1_H_
