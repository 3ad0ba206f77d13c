// FacePersonNetworks: the SSD networks of the face-and-person detector and
// what one frame gives through them: face boxes (as the network gives
// them) and person boxes, each with its score.
//
// One combined network with the two outputs "detection_out_face" and
// "detection_out_pedestrian", or a face network and a separate person
// network. Which a model is comes from its "labels" (with both "face" and
// "person": combined; without "face": the person network) or, without
// labels, from its type and version ("SSD-DETECTOR" "0.0.2": combined,
// face class 1 and person class 2).
//
// Example model map (see LoadSSDDetector for the rest):
//   properties { key: "type" value { string_value: "SSD-DETECTOR" } }
//   properties { key: "version" value { string_value: "0.0.2" } }
//   properties { key: "engine" value { string_value: "Caffe" } }
//
// Threads: loaded before use; Detect runs on the detection thread only.
#ifndef VISION_FACE_DETECT_FACE_PERSON_NETWORKS_H_
#define VISION_FACE_DETECT_FACE_PERSON_NETWORKS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/config/entity_config.h"
#include "vision/detectors/ssd_detector.h"

namespace talvenrook_vision {

class FacePersonNetworks {
 public:
  static constexpr char kFaceOutput[] = "detection_out_face";
  static constexpr char kPersonOutput[] = "detection_out_pedestrian";

  struct Found {
    std::vector<cv::Rect> faces;
    std::vector<float> face_scores;
    std::vector<cv::Rect> people;
    std::vector<float> people_scores;
  };

  FacePersonNetworks();
  ~FacePersonNetworks();

  // The pipeline's detection regions and "use_fixed_input_size", used by
  // the models loaded after.
  void Configure(std::vector<cv::Rect> rois, bool fixed_input_size);
  // Loads one SSD model into its place. False, after "Error loading SSD
  // model", when it cannot be loaded; load_error() then says why.
  bool Load(const Entity& model);

  // True when a face (or combined) network is loaded.
  bool ready() const { return ssd_ != nullptr; }
  // Appends the frame's faces and people to *found; false (nothing found)
  // without a face network or a frame.
  bool Detect(const cv::Mat& frame, Found* found);

  bool combined() const { return combined_; }
  int32_t face_index() const { return face_index_; }
  int32_t person_index() const { return person_index_; }
  bool has_person_model() const { return person_ssd_ != nullptr; }
  // Why the last failed Load failed (may be empty).
  const std::string& load_error() const { return load_error_; }

 private:
  std::vector<cv::Rect> rois_;
  bool fixed_input_size_ = false;
  std::unique_ptr<SSDDetector> ssd_;         // face or combined model
  std::unique_ptr<SSDDetector> person_ssd_;  // separate person model
  bool combined_ = false;
  int32_t face_index_ = 1;
  int32_t person_index_ = 2;
  std::string load_error_;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_DETECT_FACE_PERSON_NETWORKS_H_
