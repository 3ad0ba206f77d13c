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
// Threads: Detect runs on the detection thread; TrackExtra, FaceEnded and
// FinishFrame on the result thread. The people of a frame go from Detect to
// TrackExtra through a queue keyed by frame number.
#ifndef VISION_FACE_DETECT_FACE_PERSON_DETECTOR_H_
#define VISION_FACE_DETECT_FACE_PERSON_DETECTOR_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "vision/detectors/ssd_detector.h"
#include "vision/face/attention/person_attention.h"
#include "vision/face/classify/age_detector.h"
#include "vision/face/classify/face_classifiers.h"
#include "vision/face/detect/face_detector_interface.h"
#include "vision/tracking/tracker.h"
#include "vision/tracking/tracking_clock.h"

namespace talvenrook_vision {

class FacePersonDetector : public IDetector {
 public:
  struct Settings {
    bool enable_person_detection = false;
    bool enable_drawings = false;
    bool draw_people = true;
    bool draw_people_id = false;
    bool do_score = false;
    double detection_gender_threshold = 0.0;
    int32_t person_classification_skip_frames = 5;
    bool full_body_gender = false;
    bool full_body_age = false;
  };
  // Frames a face must spend inside a person's box for the person to be
  // its body.
  static constexpr int32_t kBodyFrames = 5;
  static constexpr char kFaceOutput[] = "detection_out_face";
  static constexpr char kPersonOutput[] = "detection_out_pedestrian";

  // Requires: clock outlives the detector.
  explicit FacePersonDetector(
      const TrackingClock* clock = TrackingClock::System());
  ~FacePersonDetector() override;

  bool Load(const KestuEyeConfig& config, const Entity& model) override;
  std::vector<cv::Rect> Detect(const cv::Mat& frame, const cv::Mat& grey,
                               int64_t frame_number,
                               std::vector<float>* scores) override;
  std::vector<cv::Rect> Regions() const override { return regions_; }
  void TrackExtra(const cv::Mat& frame, const cv::Mat& grey,
                  int64_t frame_number, VisionResult* result,
                  Tracker* face_tracker) override;
  void FaceEnded(const Track& face, RectangularDetection* detection,
                 bool not_published) override;
  void FinishFrame(const cv::Mat& frame, const cv::Mat& grey,
                   int64_t frame_number, VisionResult* result) override;

  // The face box of a face network box: square, shrunk by 0.9, moved down
  // by 0.15 of its height.
  static cv::Rect FaceBoxFromNetwork(const cv::Rect& box);

  const Settings& settings() const { return settings_; }
  bool combined() const { return combined_; }
  int32_t face_index() const { return face_index_; }
  int32_t person_index() const { return person_index_; }
  bool has_person_model() const { return person_ssd_ != nullptr; }
  Tracker& person_tracker() { return person_tracker_; }
  // Entries of the per-person state (attention, co-occurrence, bodies):
  // bounded by the live person tracks.
  size_t PersonStateSize() const;

 private:
  struct FramePeople {
    int64_t frame_number = 0;
    std::vector<cv::Rect> boxes;
    std::vector<float> scores;
  };

  void ReadSettings(const Entity& config);
  bool LoadSsdModel(const Entity& model);
  void DetectPeople(const cv::Mat& frame, int64_t frame_number,
                    std::vector<cv::Rect>* faces, std::vector<float>* scores);
  bool TakePeople(int64_t frame_number, FramePeople* people);
  void ReportPerson(const Track& person, const cv::Mat& frame,
                    int64_t frame_number, VisionResult* result);
  void Associate(Tracker* face_tracker);
  bool IsBody(int32_t person_id) const;
  void ReportEndedPerson(const Track& person, VisionResult* result);
  void ForgetPerson(int32_t person_id);
  void ForgetFaces();
  void DrawOverlay(const cv::Mat& frame) const;

  const TrackingClock* clock_;
  Settings settings_;
  std::vector<cv::Rect> rois_;
  bool fixed_input_size_ = false;            // "use_fixed_input_size"
  std::unique_ptr<SSDDetector> ssd_;         // face or combined model
  std::unique_ptr<SSDDetector> person_ssd_;  // separate person model
  bool combined_ = false;
  int32_t face_index_ = 1;
  int32_t person_index_ = 2;
  Tracker person_tracker_;
  std::unique_ptr<GenderDetector> gender_;
  std::unique_ptr<AgeClassDetector> age_;
  AttentionSettings attention_settings_;
  std::unique_ptr<PersonAttention> attention_;
  // person id -> (face id -> frames the face spent inside the person)
  std::unordered_map<int32_t, std::unordered_map<int32_t, int32_t>> faces_;
  // Live persons that were the body of a face that is gone.
  std::unordered_set<int32_t> bodies_;
  std::vector<int32_t> dropped_faces_;  // of the frame, from TrackExtra
  std::vector<cv::Rect> last_people_;   // boxes of the last TrackExtra
  std::vector<cv::Rect> regions_;

  std::mutex people_mutex_;  // guards people_
  std::deque<FramePeople> people_;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_DETECT_FACE_PERSON_DETECTOR_H_
