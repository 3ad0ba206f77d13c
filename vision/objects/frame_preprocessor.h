// FramePreprocessor: the one preprocessing stage of the crowd and vehicle
// pipelines. It judges day or night once per frame (NightSolution) and
// enhances the frame with CLAHE when that verdict asks for it
// (ClaheEnhancer); the same verdict then chooses the regions' day or night
// models, is stamped as the result's moment_of_day and is what the
// indicator shows.
//
// Configured from the pipeline's configuration (the keys of NightSolution
// and the "clahe" map of ClaheEnhancer), for example:
//   properties { key: "use_night_solution" value { boolean_value: true } }
//   properties { key: "threshold_day_night" value { double_value: 0.25 } }
//   properties { key: "clahe" value { entity_value {
//     properties { key: "clip_limit" value { double_value: 2.0 } }
//     properties { key: "tiles_grid_size_x" value { integer_value: 8 } }
//     properties { key: "tiles_grid_size_y" value { integer_value: 8 } }
//     properties { key: "use_at_night" value { boolean_value: true } }
//     properties { key: "use_at_day" value { boolean_value: false } } } } }
//
// A pipeline's Begin prepares the frame and hands the prepared frame on to
// its Finish, so that the result of a frame carries its own verdict and is
// built on its own enhanced image. Prepare and Draw are used by one thread
// each.
#ifndef VISION_OBJECTS_FRAME_PREPROCESSOR_H_
#define VISION_OBJECTS_FRAME_PREPROCESSOR_H_

#include <opencv2/core.hpp>

#include "vision/config/setup_status.h"
#include "vision/objects/clahe_enhancer.h"
#include "vision/regions/night_solution.h"

namespace talvenrook_vision {

// One frame as the analysis sees it.
struct PreparedFrame {
  cv::Mat image;   // the frame itself, or its enhanced copy
  int moment = 0;  // NightSolution::kOff, kDay or kNight
};

class FramePreprocessor {
 public:
  // A complete "clahe" group without "use_at_night" or "use_at_day"
  // raises MissingPropertyError before anything changes; the status fails
  // when a DAY-NIGHT model cannot be loaded.
  absl::Status Configure(const KestuEyeConfig& config);
  // The verdict on the incoming frame, and the frame enhanced per it. The
  // incoming frame is never changed.
  PreparedFrame Prepare(const cv::Mat& frame);
  // The indicator of a moment, bottom right (and the judged area).
  void Draw(cv::Mat& frame, int moment) const { night_.Draw(frame, moment); }

  const ClaheEnhancer& clahe() const { return clahe_; }
  const NightSolution& night_solution() const { return night_; }

 private:
  ClaheEnhancer clahe_;
  NightSolution night_;
};

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_FRAME_PREPROCESSOR_H_
