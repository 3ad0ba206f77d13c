// The two steps that the crowd and vehicle pipelines share: a frame is
// prepared once (FramePreprocessor) and begun by the object pipeline at
// that verdict; its finish gives the object pipeline's result on the frame
// as it was prepared. Each wrapper adds its own work around them.
#ifndef VISION_OBJECTS_PREPARED_OBJECTS_H_
#define VISION_OBJECTS_PREPARED_OBJECTS_H_

#include <cstdint>
#include <memory>

#include <opencv2/core.hpp>

#include "vision/analytics/vision_analytics.h"
#include "vision/objects/frame_preprocessor.h"
#include "vision/objects/ssd_analytics_video_v1.h"

namespace talvenrook_vision {

// The object pipeline's result of one frame, the frame it was built on,
// and the time the frame's Begin took in each of its two parts.
struct PreparedResult {
  PreparedFrame prepared;
  VisionResult detected;
  int64_t preparing_ticks = 0;
  int64_t detecting_ticks = 0;
};

// `objects` may be null (a pipeline whose set-up failed): the frame is
// then only prepared.
std::unique_ptr<FrameWork> BeginPrepared(FramePreprocessor& preprocessor,
                                         SSDAnalyticsVideoV1* objects,
                                         const cv::Mat& frame, bool ahead);
// The work of BeginPrepared; any other (or none) finishes `shown` as it
// is, at `moment`.
PreparedResult FinishPrepared(SSDAnalyticsVideoV1* objects,
                              std::unique_ptr<FrameWork> work,
                              const VisionRequest& request,
                              const cv::Mat& shown, int moment);

}  // namespace talvenrook_vision

#endif  // VISION_OBJECTS_PREPARED_OBJECTS_H_
