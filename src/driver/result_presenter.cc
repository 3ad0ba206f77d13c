#include "src/driver/result_presenter.h"

#include <glog/logging.h>
#include <google/protobuf/text_format.h>

#include "src/driver/detection_log.h"

namespace vostek_kestu {

void ResultPresenter::LogDetection(const VisionResult& result) const {
  if (!kind_->detection_line) {
    std::string text;
    google::protobuf::TextFormat::PrintToString(result, &text);
    LOG(INFO) << "New Detection:\n" << text;
    return;
  }
  const std::shared_ptr<const KindOptions> options = options_->get();
  LogDetectionLine(result, [&](const VisionResult& r) {
    return kind_->detection_line(r, options.get());
  });
}

void ResultPresenter::Draw(DrawContext context, const VisionResult& result,
                           cv::Mat& image) const {
  if (!kind_->draw) return;
  const std::shared_ptr<const KindOptions> options = options_->get();
  context.options = options.get();
  context.detections = detections_;
  kind_->draw(context, result, image);
}

}  // namespace vostek_kestu
