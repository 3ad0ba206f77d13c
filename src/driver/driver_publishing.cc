// Publishing of results, previews and the preview window of BaseDriver.
#include <algorithm>
#include <cstdlib>

#include <glog/logging.h>
#include <google/protobuf/text_format.h>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "src/common/uuid.h"
#include "src/driver/driver_base.h"
#include "src/flags.h"

namespace vostek_kestu {

namespace {

constexpr char kWindowName[] = "Vision Analytics Preview";

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

void BaseDriver::SendResult(const VisionResult& result) {
  if (!FLAGS_record_detections_file.empty()) {
    std::lock_guard<std::mutex> lock(detection_record_mutex_);
    AppendToDetectionRecord(result, &detection_record_);
  }
  if (FLAGS_testing_mode) {
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
      PublishResult(single);
    }
  }
}

void BaseDriver::SetEventTagPublished(EventTag tag, bool published) {
  std::lock_guard<std::mutex> lock(event_tags_mutex_);
  if (published) {
    published_event_tags_.insert(tag);
  } else {
    published_event_tags_.erase(tag);
  }
}

bool BaseDriver::IsEventTagPublished(EventTag tag) const {
  std::lock_guard<std::mutex> lock(event_tags_mutex_);
  return published_event_tags_.count(tag) != 0;
}

void BaseDriver::PublishResult(const VisionResult& result) {
  if (!FLAGS_testing_mode) LogDetection(result);
  if (!FLAGS_send_text_proto) SendData(result.SerializeAsString());
}

void BaseDriver::LogDetection(const VisionResult& result) {
  std::string text;
  google::protobuf::TextFormat::PrintToString(result, &text);
  LOG(INFO) << "New Detection:\n" << text;
}

void BaseDriver::DrawResults(const VisionResult& result, cv::Mat& image) {}

void BaseDriver::DrawFps(const std::string& text, cv::Mat& image) {
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

cv::Mat BaseDriver::GetPreviewImage() {
  if (preview_image_.empty()) {
    preview_processed_ = false;
    GetVideoSource()->Read(preview_image_);
    if (preview_image_.empty()) {
      LOG(ERROR) << "Could not get preview image!";
      return preview_image_;
    }
  }
  // A preview and a streamed image of the same frame share one processing.
  if (preview_processed_) return preview_image_;
  if (blur_preview_) {
    const int percent = static_cast<int>(
        std::clamp<int64_t>(100 - static_cast<int64_t>(blur_amount_.load()), 1, 100));
    const cv::Size full = preview_image_.size();
    const cv::Size small(std::max(1, full.width * percent / 100),
                         std::max(1, full.height * percent / 100));
    cv::Mat reduced;
    cv::resize(preview_image_, reduced, small, 0, 0, cv::INTER_LINEAR);
    cv::boxFilter(reduced, reduced, -1, cv::Size(5, 5), cv::Point(-1, -1),
                  true, cv::BORDER_REFLECT_101);
    cv::resize(reduced, preview_image_, full, 0, 0, cv::INTER_LINEAR);
  }
  if (enable_drawings_) {
    DrawResults(current_result_, preview_image_);
    if (show_fps_) DrawFps(frame_rate_text_, preview_image_);
  }
  // A factor of zero or below would make the resize fail; it is ignored.
  // A tiny one still leaves a preview of one pixel or more a side.
  const double factor = preview_size_factor_;
  if (1.0 - factor > 0.05 && factor > 0.0) {
    const cv::Size scaled(
        std::max(1, static_cast<int>(preview_image_.cols * factor)),
        std::max(1, static_cast<int>(preview_image_.rows * factor)));
    cv::resize(preview_image_, preview_image_, scaled, 0, 0, cv::INTER_LINEAR);
  }
  preview_processed_ = true;
  return preview_image_;
}

bool BaseDriver::AddImageToResult(VisionResult* result) {
  const cv::Mat preview = GetPreviewImage();
  if (preview.empty()) return false;
  std::vector<uchar> jpeg;
  bool encoded = false;
  try {
    encoded = cv::imencode(".jpg", preview, jpeg,
                           {cv::IMWRITE_JPEG_QUALITY,
                            std::clamp(preview_quality_.load(), 0, 100)});
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

void BaseDriver::SendPreview() {
  VisionResult result;
  if (AddImageToResult(&result)) {
    LOG(INFO) << "Sending preview...";
    SendData(result.SerializeAsString());
  } else {
    LOG(ERROR) << "Could not send preview!";
  }
}

void BaseDriver::RequestPreview() { preview_requested_ = true; }

void BaseDriver::ShowWindow(const cv::Mat& image) {
  if (!FLAGS_show_gui || !window_usable_) return;
  // Without a display the window toolkit ends the whole process instead of
  // raising an error, so the window is given up before it is tried.
  if (!DisplayAvailable()) {
    LOG(INFO) << "Could not open the window. ";
    LOG(INFO) << "Will not try to open it again...";
    window_usable_ = false;
    return;
  }
  try {
    cv::imshow(kWindowName, image);
    cv::waitKey(FLAGS_step_mode ? 0 : 1);
  } catch (const cv::Exception& e) {
    LOG(INFO) << "Could not open the window. ";
    LOG(INFO) << "Will not try to open it again...";
    window_usable_ = false;
  }
}
}  // namespace vostek_kestu
