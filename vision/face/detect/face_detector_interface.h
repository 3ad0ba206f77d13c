// IDetector: the face pipeline's one face detector.
//
// The pipeline creates exactly one detector from its model list (the pico
// cascade, a face SSD network, or the face-and-person SSD detector) and
// calls it as follows:
//   - detection step (detection thread): BeforeDetect, Detect, AfterDetect,
//     Regions;
//   - result step (result thread): TrackExtra after the face tracker's
//     update, FaceEnded for every ended face track, FinishFrame last.
// In asynchronous mode the two steps run on two threads; a detector that
// hands something from Detect to TrackExtra keys it by frame number. A
// detector that can infer several frames at once offers PushDetect and
// PopDetect: the pipeline then pushes each frame from its detection thread
// and collects the faces, in push order, on its result thread.
#ifndef VISION_FACE_DETECT_FACE_DETECTOR_INTERFACE_H_
#define VISION_FACE_DETECT_FACE_DETECTOR_INTERFACE_H_

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "talvenrook/kestu/v1/kestueye.pb.h"
#include "talvenrook/vision/v1/vision.pb.h"
#include "vision/config/entity_config.h"
#include "vision/tracking/track.h"
#include "vision/tracking/tracker.h"

namespace talvenrook_vision {

using KestuEyeConfig = ::talvenrook::kestu::v1::kestueye::KestuEyeConfig;
using VisionResult = ::talvenrook::vision::v1::VisionResult;
using RectangularDetection = ::talvenrook::vision::v1::RectangularDetection;

class IDetector {
 public:
  virtual ~IDetector() = default;

  // True when the detector is usable.
  virtual bool Load(const KestuEyeConfig& config, const Entity& model) = 0;
  // Face boxes in frame pixels; appends one score per box to *scores.
  virtual std::vector<cv::Rect> Detect(const cv::Mat& frame,
                                       const cv::Mat& grey,
                                       int64_t frame_number,
                                       std::vector<float>* scores) = 0;
  // Where the last Detect (or PopDetect) searched.
  virtual std::vector<cv::Rect> Regions() const = 0;
  // True when PushDetect queues frames (their detection then completes on
  // the pipeline's result thread).
  virtual bool PushesDetections() const { return false; }
  // Queues the frame's detection; false when the detector has no
  // asynchronous path or refuses the frame (Detect is then used).
  virtual bool PushDetect(const cv::Mat& frame, const cv::Mat& grey,
                          int64_t frame_number) {
    return false;
  }
  // The faces of the oldest pushed frame (as Detect gives them); `frame`
  // is that frame.
  virtual std::vector<cv::Rect> PopDetect(const cv::Mat& frame,
                                          int64_t frame_number,
                                          std::vector<float>* scores) {
    return {};
  }
  virtual void BeforeDetect(const cv::Mat& grey, const cv::Mat& frame,
                            int64_t frame_number) {}
  virtual void AfterDetect(const cv::Mat& image, const cv::Mat& frame,
                           int64_t frame_number) {}
  // After the face tracker's update of the frame.
  virtual void TrackExtra(const cv::Mat& frame, const cv::Mat& grey,
                          int64_t frame_number, VisionResult* result,
                          Tracker* face_tracker) {}
  // An ended face track with its final detection (null when the track is
  // not published).
  virtual void FaceEnded(const Track& face, RectangularDetection* detection,
                         bool not_published) {}
  // Last call of the frame's result step; `frame` is the frame shown.
  virtual void FinishFrame(const cv::Mat& frame, const cv::Mat& grey,
                           int64_t frame_number, VisionResult* result) {}

 protected:
  IDetector() = default;
};

}  // namespace talvenrook_vision

#endif  // VISION_FACE_DETECT_FACE_DETECTOR_INTERFACE_H_
