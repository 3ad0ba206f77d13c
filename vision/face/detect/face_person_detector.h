// FacePersonDetector: faces and people from SSD networks, one combined
// network with the two outputs "detection_out_face" and
// "detection_out_pedestrian", or a face network and a person network.
//
// Face boxes are made square (side: the larger side rounded down to even,
// same centre), shrunk about their centre by 0.9 and moved down by 0.15 of
// their height. With "enable_person_detection" the people are tracked by
// a person Tracker of their own and reported in the result as PERSON
// detections with tracking id = person id + 65536 (their tracker reserves
// that id in the shared counter, so it never names a face), with their
// attention (PersonAttention) and, when configured,
// full-body gender ("GENDER_FULL", "full_body_gender") and age ("AGE_FULL",
// "full_body_age"). A person whose box held a face for more than 5 frames
// is the body of that face: it gives the face its full-body gender when the
// face ends and is not reported when it ends itself.
//
// Example pipeline configuration (config map):
//   properties { key: "enable_person_detection" value { boolean_value: true } }
//   properties { key: "enable_drawings" value { boolean_value: true } }
//   properties { key: "person_classification_skip_frames"
//                value { integer_value: 5 } }
//   properties { key: "attention_rois" value { array_value { ... } } }
// and an SSD model without labels, type "SSD-DETECTOR", version "0.0.2" (a
// combined model: face class 1, person class 2), or models whose "labels"
// name "face" and "person".
//
// The jobs are parts of their own, which the detector composes:
// FacePersonNetworks (the SSD networks), the person Tracker,
// PersonAttention, BodyClassifiers (full-body gender and age) and
// FaceBodyLinks (which person is the body of which face). Its keys are
// declared in FacePersonKeyTable.
//
// Threads: Detect runs on the detection thread; TrackExtra, FaceEnded and
// FinishFrame on the result thread. The people of a frame go from Detect
// to TrackExtra in the frame's finds, which the pipeline carries.
#ifndef VISION_FACE_DETECT_FACE_PERSON_DETECTOR_H_
#define VISION_FACE_DETECT_FACE_PERSON_DETECTOR_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vision/face/attention/person_attention.h"
#include "vision/face/detect/body_classifiers.h"
#include "vision/face/detect/face_body_links.h"
#include "vision/face/detect/face_detector_interface.h"
#include "vision/face/detect/face_person_keys.h"
#include "vision/face/detect/face_person_networks.h"
#include "vision/tracking/tracker.h"
#include "vision/tracking/tracking_clock.h"

namespace talvenrook_vision {

class FacePersonDetector : public IDetector {
 public:
  using Settings = FacePersonSettings;
  static constexpr int32_t kBodyFrames = FaceBodyLinks::kBodyFrames;
  static constexpr const char* kFaceOutput = FacePersonNetworks::kFaceOutput;
  static constexpr const char* kPersonOutput =
      FacePersonNetworks::kPersonOutput;

  // Requires: clock outlives the detector.
  explicit FacePersonDetector(
      const TrackingClock* clock = TrackingClock::System());
  ~FacePersonDetector() override;

  bool Load(const KestuEyeConfig& config, const Entity& model) override;
  FaceFinds Detect(const cv::Mat& frame, const cv::Mat& grey,
                   int64_t frame_number) override;
  std::vector<cv::Rect> Regions() const override { return regions_; }
  void TrackExtra(const cv::Mat& frame, const cv::Mat& grey,
                  int64_t frame_number, const FramePeople& people,
                  VisionResult* result, Tracker* face_tracker) override;
  void FaceEnded(const Track& face, RectangularDetection* detection,
                 bool not_published) override;
  void FinishFrame(const cv::Mat& frame, const cv::Mat& grey,
                   int64_t frame_number, VisionResult* result) override;

  // The face box of a face network box: square, shrunk by 0.9, moved down
  // by 0.15 of its height.
  static cv::Rect FaceBoxFromNetwork(const cv::Rect& box);

  const Settings& settings() const { return settings_; }
  bool combined() const { return networks_.combined(); }
  int32_t face_index() const { return networks_.face_index(); }
  int32_t person_index() const { return networks_.person_index(); }
  bool has_person_model() const { return networks_.has_person_model(); }
  // Why the last Load failed (may be empty).
  const std::string& load_error() const { return networks_.load_error(); }
  Tracker& person_tracker() { return person_tracker_; }
  // Entries of the per-person state (attention, co-occurrence, bodies):
  // bounded by the live person tracks.
  size_t PersonStateSize() const { return links_.size(); }

 private:
  void ReadSettings(const Entity& config);
  void ConfigurePersonTracker(const Entity& config);
  void ReportPerson(const Track& person, const cv::Mat& frame,
                    int64_t frame_number, VisionResult* result);
  void ReportEndedPerson(const Track& person, VisionResult* result);
  void ForgetPerson(int32_t person_id);
  void DrawOverlay(const cv::Mat& frame) const;

  const TrackingClock* clock_;
  Settings settings_;
  FacePersonNetworks networks_;
  Tracker person_tracker_;
  std::unique_ptr<PersonAttention> attention_;
  BodyClassifiers classifiers_;
  FaceBodyLinks links_;
  std::vector<int32_t> dropped_faces_;  // of the frame, from TrackExtra
  std::vector<cv::Rect> regions_;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_DETECT_FACE_PERSON_DETECTOR_H_
