// One detection run over a clip, tracked again under several settings.
//
// Detection is what costs; the tracker, the zones and the appearance
// descriptors cost little. So a DetectionRun runs the object pipeline's
// detectors over every frame of a clip once and keeps each frame's lists,
// and Track replays them through a fresh object pipeline built from another
// configuration (its tracker and zone keys), re-reading the frames for the
// parts that look at pixels. The results are what a record run with that
// configuration would have written, frame for frame, given the same
// detections: they can be scored with mot_metrics.h.
//
// Example:
//   DetectionRun run;
//   run.Detect("vtest.avi", config, &error);
//   VisionResultList a = run.Track(config_a);
//   VisionResultList b = run.Track(config_b);
#ifndef TOOLS_SCORE_ACCURACY_RUN_H_
#define TOOLS_SCORE_ACCURACY_RUN_H_

#include <string>
#include <vector>

#include <opencv2/videoio.hpp>

#include "talvenrook/kestu/v1/kestueye.pb.h"
#include "talvenrook/vision/v1/vision_service.pb.h"
#include "vision/detectors/detection_list.h"

namespace kestu_tools {

using KestuEyeConfig = ::talvenrook::kestu::v1::kestueye::KestuEyeConfig;

class DetectionRun {
 public:
  // Runs the detectors of `config` on every frame of the clip (at most
  // max_frames when positive). False with a message when the clip cannot
  // be read or holds no frame.
  // frame_size, when not empty, is the size every frame is scaled to
  // first, as a driver with a forced "resolution" does.
  bool Detect(const std::string& clip, const KestuEyeConfig& config,
              std::string* error, int max_frames = 0,
              const cv::Size& frame_size = cv::Size());

  // The frames' results with the tracker and zones of `config`; frame k of
  // the clip gives result k. frame_interval_ms is the time between frames
  // that tracks and speeds are measured with. A configuration that cannot
  // be set up tracks nothing (an empty list; the reason on standard error).
  ::talvenrook::vision::v1::VisionResultList Track(
      const KestuEyeConfig& config, double frame_interval_ms = 100.0) const;

  size_t frames() const { return lists_.size(); }
  double detection_seconds() const { return detection_seconds_; }

 private:
  bool Read(cv::VideoCapture* capture, cv::Mat* frame) const;

  std::string clip_;
  cv::Size frame_size_;
  std::vector<std::vector<talvenrook_vision::DetectionList>> lists_;
  double detection_seconds_ = 0.0;
};

// The whole object pipeline of `config` on every frame of the clip (frames
// scaled to frame_size when it is not empty), as a record run would give
// it; for settings that change what is detected, such as motion gating.
// cpu_seconds, when given, receives the process CPU time the pipeline
// took (reading excluded). False with a message when the clip cannot be
// read.
bool RunPipeline(const std::string& clip, const KestuEyeConfig& config,
                 const cv::Size& frame_size,
                 ::talvenrook::vision::v1::VisionResultList* results,
                 std::string* error, double* cpu_seconds = nullptr);

// The configuration with every key that goes beyond the default tracker,
// detection filter and counting taken out (zones lose "repeat"): what the
// same configuration gives without the opt-in settings.
KestuEyeConfig WithoutOptInKeys(KestuEyeConfig config);

// Reads a DriverConfig in protobuf text format (a sample file) and returns
// its eye configuration. False with a message when it does not parse.
bool LoadEyeConfig(const std::string& path, KestuEyeConfig* config,
                   std::string* error);

}  // namespace kestu_tools

#endif  // TOOLS_SCORE_ACCURACY_RUN_H_
