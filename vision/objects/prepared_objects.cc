#include "vision/objects/prepared_objects.h"

#include <utility>

namespace talvenrook_vision {
namespace {

struct PreparedWork : FrameWork {
  PreparedFrame prepared;
  std::unique_ptr<FrameWork> objects;
  int64_t preparing_ticks = 0;
  int64_t detecting_ticks = 0;
};

}  // namespace

std::unique_ptr<FrameWork> BeginPrepared(FramePreprocessor& preprocessor,
                                         SSDAnalyticsVideoV1* objects,
                                         const cv::Mat& frame, bool ahead) {
  auto work = std::make_unique<PreparedWork>();
  const int64_t start = cv::getTickCount();
  work->prepared = preprocessor.Prepare(frame);
  const int64_t prepared = cv::getTickCount();
  work->preparing_ticks = prepared - start;
  if (objects != nullptr) {
    work->objects = objects->BeginAtMoment(work->prepared.image, ahead,
                                           work->prepared.moment);
  }
  work->detecting_ticks = cv::getTickCount() - prepared;
  return work;
}

PreparedResult FinishPrepared(SSDAnalyticsVideoV1* objects,
                              std::unique_ptr<FrameWork> work,
                              const VisionRequest& request,
                              const cv::Mat& shown, int moment) {
  PreparedResult finished;
  auto* own = dynamic_cast<PreparedWork*>(work.get());
  std::unique_ptr<FrameWork> detection;
  if (own != nullptr) {
    finished.prepared = own->prepared;
    finished.preparing_ticks = own->preparing_ticks;
    finished.detecting_ticks = own->detecting_ticks;
    detection = std::move(own->objects);
  } else {
    finished.prepared = PreparedFrame{shown, moment};
  }
  if (objects != nullptr) {
    finished.detected =
        objects->Finish(std::move(detection), request, finished.prepared.image);
  }
  return finished;
}

}  // namespace talvenrook_vision
