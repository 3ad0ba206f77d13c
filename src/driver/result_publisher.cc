#include "src/driver/result_publisher.h"

#include <algorithm>
#include <vector>

#include <glog/logging.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "src/common/uuid.h"
#include "src/flags.h"

namespace vostek_kestu {

ResultPublisher::ResultPublisher(
    DataSender send_data, LogDetection log_detection, SourceReader read_source,
    DetectionStore* detections, std::shared_ptr<const ProcessSettings> settings)
    : send_data_(std::move(send_data)),
      log_detection_(std::move(log_detection)),
      read_source_(std::move(read_source)),
      detections_(detections),
      settings_(std::move(settings)),
      streaming_(std::make_shared<StreamingManagerBase>()) {}

void ResultPublisher::SetEventTagPublished(EventTag tag, bool published) {
  std::lock_guard<std::mutex> lock(tags_mutex_);
  if (published) {
    published_tags_.insert(tag);
  } else {
    published_tags_.erase(tag);
  }
}

bool ResultPublisher::IsEventTagPublished(EventTag tag) const {
  std::lock_guard<std::mutex> lock(tags_mutex_);
  return published_tags_.count(tag) != 0;
}

std::set<EventTag> ResultPublisher::published_event_tags() const {
  std::lock_guard<std::mutex> lock(tags_mutex_);
  return published_tags_;
}

void ResultPublisher::SetStreamingManager(
    std::shared_ptr<StreamingManagerBase> manager) {
  std::lock_guard<std::mutex> lock(streaming_mutex_);
  streaming_ = std::move(manager);
}

std::shared_ptr<StreamingManagerBase> ResultPublisher::streaming_manager()
    const {
  std::lock_guard<std::mutex> lock(streaming_mutex_);
  return streaming_;
}

void ResultPublisher::SendResult(const VisionResult& result) {
  if (!FLAGS_record_detections_file.empty()) {
    detections_->Append(result, FLAGS_record_detections_file);
  }
  if (settings_->testing_mode()) {
    PublishResult(result);
    return;
  }
  for (const auto& event : result.vision_event()) {
    if (!IsEventTagPublished(event.tag())) continue;
    for (const auto& detection : result.rect_detection()) {
      if (detection.tracking_id() != event.tracking_id()) continue;
      VisionResult single;
      *single.add_rect_detection() = detection;
      *single.add_vision_event() = event;
      single.set_uuid(GenerateUuid());
      PublishResult(std::move(single));
    }
  }
}

void ResultPublisher::PublishResult(VisionResult result) {
  if (journal_ != nullptr) {
    std::string error;
    if (!journal_->Append(&result, &error)) {
      // Sent all the same: the journal shows the number as a gap.
      if (journal_failures_++ % 1000 == 0) {
        LOG(ERROR) << "A result could not be written to the event journal ("
                   << journal_failures_ << " so far): " << error;
      }
    }
  }
  if (!settings_->testing_mode()) log_detection_(result);
  if (!FLAGS_send_text_proto) send_data_(result.SerializeAsString());
}

void ResultPublisher::KeepPreview(const cv::Mat& frame) {
  preview_image_ = frame.clone();
  preview_processed_ = false;
}

cv::Mat ResultPublisher::PreviewImage(const PreviewOptions& options,
                                      const Drawing& draw) {
  if (preview_image_.empty()) {
    preview_processed_ = false;
    read_source_(preview_image_);
    if (preview_image_.empty()) {
      LOG(ERROR) << "Could not get preview image!";
      return preview_image_;
    }
  }
  // A preview and a streamed image of the same frame share one processing.
  if (preview_processed_) return preview_image_;
  if (options.blur_preview) {
    const int percent = static_cast<int>(std::clamp<int64_t>(
        100 - static_cast<int64_t>(options.blur_amount), 1, 100));
    const cv::Size full = preview_image_.size();
    const cv::Size small(std::max(1, full.width * percent / 100),
                         std::max(1, full.height * percent / 100));
    cv::Mat reduced;
    cv::resize(preview_image_, reduced, small, 0, 0, cv::INTER_LINEAR);
    cv::boxFilter(reduced, reduced, -1, cv::Size(5, 5), cv::Point(-1, -1), true,
                  cv::BORDER_REFLECT_101);
    cv::resize(reduced, preview_image_, full, 0, 0, cv::INTER_LINEAR);
  }
  if (options.enable_drawings) draw(preview_image_);
  // A factor of zero or below would make the resize fail; it is ignored.
  // A tiny one still leaves a preview of one pixel or more a side.
  const double factor = options.preview_size_factor;
  if (1.0 - factor > 0.05 && factor > 0.0) {
    const cv::Size scaled(
        std::max(1, static_cast<int>(preview_image_.cols * factor)),
        std::max(1, static_cast<int>(preview_image_.rows * factor)));
    cv::resize(preview_image_, preview_image_, scaled, 0, 0, cv::INTER_LINEAR);
  }
  preview_processed_ = true;
  return preview_image_;
}

bool ResultPublisher::AddImageToResult(VisionResult* result,
                                       const PreviewOptions& options,
                                       const Drawing& draw) {
  const cv::Mat preview = PreviewImage(options, draw);
  if (preview.empty()) return false;
  std::vector<uchar> jpeg;
  bool encoded = false;
  try {
    encoded = cv::imencode(".jpg", preview, jpeg,
                           {cv::IMWRITE_JPEG_QUALITY,
                            std::clamp(options.preview_quality, 0, 100)});
  } catch (const cv::Exception& e) {
    encoded = false;
  }
  if (!encoded) {
    LOG(ERROR) << "Error converting image to JPEG!";
    return false;
  }
  auto* image = result->mutable_result_image();
  image->set_image(jpeg.data(), jpeg.size());
  image->mutable_size()->set_width(preview.cols);
  image->mutable_size()->set_height(preview.rows);
  return true;
}

void ResultPublisher::SendPreview(const PreviewOptions& options,
                                  const Drawing& draw) {
  VisionResult result;
  if (AddImageToResult(&result, options, draw)) {
    LOG(INFO) << "Sending preview...";
    send_data_(result.SerializeAsString());
  } else {
    LOG(ERROR) << "Could not send preview!";
  }
}

void ResultPublisher::DrawFps(const std::string& text, cv::Mat& image) {
  int baseline = 0;
  const cv::Size size =
      cv::getTextSize(text, cv::FONT_HERSHEY_PLAIN, 1.0, 1, &baseline);
  const int left = image.cols - (size.width + 12);
  cv::rectangle(image, cv::Rect(left, 0, size.width + 12, size.height + 12),
                cv::Scalar(0, 0, 0), cv::FILLED);
  cv::putText(image, text, cv::Point(left + 6, size.height + 6),
              cv::FONT_HERSHEY_PLAIN, 1.0, cv::Scalar(255, 255, 255), 1,
              cv::LINE_8);
}

}  // namespace vostek_kestu
