// IDetector: the face pipeline's one face detector.
//
// The pipeline creates exactly one detector from its model list (the pico
// cascade, a face SSD network, or the face-and-person SSD detector) and
// calls it as follows:
//   - detection step (detection thread): BeforeDetect, Detect, AfterDetect,
//     Regions;
//   - result step (result thread): TrackExtra after the face tracker's
//     update, FaceEnded for every ended face track, FinishFrame last.
// In asynchronous mode the two steps run on two threads. What a detector
// finds in a frame (FaceFinds) goes with the frame's record from one step
// to the other: TrackExtra gets the frame's people from it. A detector
// that can infer several frames at once offers PushDetect and PopDetect:
// the pipeline then pushes each frame from its detection thread and
// collects the finds, in push order, on its result thread.
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

// The people a detector found in one frame (detectors that find people).
struct FramePeople {
  std::vector<cv::Rect> boxes;
  std::vector<float> scores;
};

// What a detector found in one frame.
struct FaceFinds {
  std::vector<cv::Rect> faces;  // frame pixels
  std::vector<float> scores;    // one per face, or none (1 each)
  FramePeople people;
};

using KestuEyeConfig = ::talvenrook::kestu::v1::kestueye::KestuEyeConfig;
using VisionResult = ::talvenrook::vision::v1::VisionResult;
using RectangularDetection = ::talvenrook::vision::v1::RectangularDetection;

class IDetector {
 public:
  virtual ~IDetector() = default;

  // True when the detector is usable.
  virtual bool Load(const KestuEyeConfig& config, const Entity& model) = 0;
  virtual FaceFinds Detect(const cv::Mat& frame, const cv::Mat& grey,
                           int64_t frame_number) = 0;
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
  // The finds of the oldest pushed frame (as Detect gives them); `frame`
  // is that frame.
  virtual FaceFinds PopDetect(const cv::Mat& frame, int64_t frame_number) {
    return {};
  }
  virtual void BeforeDetect(const cv::Mat& grey, const cv::Mat& frame,
                            int64_t frame_number) {}
  virtual void AfterDetect(const cv::Mat& image, const cv::Mat& frame,
                           int64_t frame_number) {}
  // After the face tracker's update of the frame; `people` are those the
  // frame's Detect found (none when it did not run on the frame).
  virtual void TrackExtra(const cv::Mat& frame, const cv::Mat& grey,
                          int64_t frame_number, const FramePeople& people,
                          VisionResult* result, Tracker* face_tracker) {}
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
