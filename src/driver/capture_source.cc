#include "src/driver/capture_source.h"

#include <algorithm>
#include <sstream>

#include <glog/logging.h>
#include <opencv2/imgproc.hpp>

#include "vision/video/threaded_video_gather.h"

namespace vostek_kestu {

namespace {

constexpr int kConnectAttempts = 1;
constexpr int kConnectSettleSeconds = 3;
constexpr int kConnectRetrySeconds = 5;
constexpr int kReaderBufferFrames = 5;
constexpr int kReaderTimeoutMs = 2000;

bool IsLiveSource(const std::string& source) {
  if (source.find("://") != std::string::npos) return true;
  if (source.size() >= 5) return false;  // a file name
  for (char c : source) {
    if (c < '0' || c > '9') return false;
  }
  return true;  // a camera index ("" is camera 0)
}

std::string SizeText(const cv::Size& size) {
  std::ostringstream text;
  text << "[" << size.width << " x " << size.height << "]";
  return text.str();
}

}  // namespace

CaptureSource::CaptureSource(StatusSender send_status,
                             talvenrook_vision::SleepFunction sleep)
    : send_status_(std::move(send_status)),
      sleep_(std::move(sleep)),
      source_(std::make_shared<talvenrook_vision::VideoGather>()),
      timeline_(cv::getTickFrequency()) {}

void CaptureSource::SetOptions(const SourceOptions& options) {
  std::lock_guard<std::mutex> lock(options_mutex_);
  options_ = options;
}

SourceOptions CaptureSource::options() const {
  std::lock_guard<std::mutex> lock(options_mutex_);
  return options_;
}

void CaptureSource::SetSleepFunction(talvenrook_vision::SleepFunction sleep) {
  sleep_ = std::move(sleep);
}

std::shared_ptr<talvenrook_vision::Gather> CaptureSource::source() const {
  std::lock_guard<std::mutex> lock(source_mutex_);
  return source_;
}

bool CaptureSource::Connect() {
  const SourceOptions settings = options();
  health_.SetHasSource(true);
  if (settings.source != connected_source_) {
    // Another camera: its problems are told afresh.
    connected_source_ = settings.source;
    health_.ResetAttempts();
    stuck_reported_ = false;
  }
  if (IsLiveSource(settings.source)) return ConnectLive(settings);
  return ConnectFile(settings);
}

bool CaptureSource::ConnectFile(const SourceOptions& settings) {
  if (live_) {
    live_->Release();
    live_.reset();
  }
  std::shared_ptr<talvenrook_vision::VideoGather> gather;
  if (settings.skip_frames) {
    LOG(INFO) << "Skipping frames is allowed";
    gather = std::make_shared<talvenrook_vision::ThreadedVideoGather>(
        false, kReaderBufferFrames, kReaderTimeoutMs);
    gather->SetSkipFrames(true);
  } else {
    LOG(INFO) << "Skipping frames is not enabled";
    gather = std::make_shared<talvenrook_vision::VideoGather>();
  }
  if (sleep_) gather->SetSleepFunction(sleep_);
  {
    std::lock_guard<std::mutex> lock(source_mutex_);
    source_ = gather;
  }
  end_of_stream_handled_ = false;
  source_is_file_ = settings.source.size() > 2 &&
                    settings.source.find("://") == std::string::npos;
  const bool ok = gather->Open(settings.source, kConnectAttempts,
                               kConnectSettleSeconds, kConnectRetrySeconds);
  {
    std::lock_guard<std::mutex> lock(options_mutex_);
    ApplyCameraProperties(gather.get(), &options_);
    NegotiateResolution(gather.get(), &options_);
  }
  if (ok) {
    gather->StartReading();
    LOG(INFO) << "Connected to video source!";
    health_.Connected();
    send_status_(Status::CAMERA_CONNECTED, "", "");
    end_of_stream_reported_ = false;
  } else {
    LOG(ERROR) << "Error trying to connect to video source";
    ReportDisconnected();
  }
  return ok;
}

void CaptureSource::ReportDisconnected() {
  health_.Disconnected();
  if (end_of_stream_reported_) return;
  end_of_stream_reported_ = true;
  send_status_(Status::CAMERA_DISCONNECTED, "", "");
}

void CaptureSource::ApplyCameraProperties(talvenrook_vision::Gather* gather,
                                          SourceOptions* options) {
  // A property that the capture library refuses outright would fail on
  // every later connection too: it is dropped from the table (the source
  // has written its warning).
  auto& properties = options->camera_properties;
  for (auto it = properties.begin(); it != properties.end();) {
    if (gather->ApplyProperty(it->first, it->second) ==
        talvenrook_vision::PropertyResult::kRefused) {
      it = properties.erase(it);
    } else {
      ++it;
    }
  }
}

void CaptureSource::NegotiateResolution(talvenrook_vision::Gather* gather,
                                        SourceOptions* options) {
  cv::Size& target = options->target_resolution;
  if (target.width * target.height < 1 || options->bypass_resolution_settings) {
    target = gather->GetResolution();
    return;
  }
  LOG(INFO) << "Trying to set resolution: " << SizeText(target);
  gather->SetResolution(target);
  const cv::Size actual = gather->GetResolution();
  const bool forced = options->force_resolution;
  if (forced) {
    if (actual == target) {
      LOG(INFO) << "No need to force resolution. Good to go!";
      options->force_resolution = false;
    } else {
      LOG(INFO) << "Software scaling enabled. Be aware that having the "
                << "source already in the target resolution is preferred. "
                << "Target resolution: " << SizeText(target);
    }
  }
  if (!forced || !options->keep_aspect) return;
  auto ratio = [](const cv::Size& s) {
    return static_cast<int>(static_cast<float>(s.width) /
                            static_cast<float>(s.height) * 100.0f);
  };
  const bool comparable = target.width != 0 && target.height != 0 &&
                          actual.width != 0 && actual.height != 0;
  if (comparable && ratio(target) == ratio(actual)) {
    LOG(INFO) << "Same aspect ratio, rescaling will be applied";
    return;
  }
  if (actual.height == 0) {
    // Without a source height there is no aspect ratio to keep.
    LOG(WARNING) << "The source reports a height of 0; keeping the target "
                 << "resolution " << SizeText(target);
    return;
  }
  target.width = static_cast<int>(
      static_cast<float>(target.height) *
      (static_cast<float>(actual.width) / static_cast<float>(actual.height)));
  LOG(INFO) << "Different aspect ratio detected. "
            << "Target resolution changed to: " << SizeText(target);
}

void CaptureSource::Prepare(bool fresh_buffers) {
  if (fresh_buffers) {
    processing_image_ = cv::Mat();
    resized_image_ = cv::Mat();
  }
  cv::Size target;
  bool force = false;
  int rotation = 0;
  {
    std::lock_guard<std::mutex> lock(options_mutex_);
    target = options_.target_resolution;
    force = options_.force_resolution;
    rotation = options_.camera_rotation;
  }
  if (force && target.area() > 0) {
    cv::resize(raw_image_, resized_image_, target, 0, 0, cv::INTER_LINEAR);
  } else {
    resized_image_ = raw_image_;
  }
  switch (rotation) {
    case 90:
    case -270:
      cv::rotate(resized_image_, processing_image_,
                 cv::ROTATE_90_COUNTERCLOCKWISE);
      break;
    case 180:
    case -180:
      cv::rotate(resized_image_, processing_image_, cv::ROTATE_180);
      break;
    case 270:
    case -90:
      cv::rotate(resized_image_, processing_image_, cv::ROTATE_90_CLOCKWISE);
      break;
    default:
      processing_image_ = resized_image_;
  }
}

CaptureSource::Frame CaptureSource::Next(const NextFrame& how) {
  Frame frame;
  frame.outcome = Read(how.fresh_buffers);
  if (frame.outcome != ReadResult::kFrame) return frame;
  if (how.check_freeze) CheckFreeze(how.detection_stopped);
  Prepare(how.fresh_buffers);
  frame.image = processing_image_;
  frame.ticks = frame_ticks_;
  return frame;
}

CaptureSource::ReadResult CaptureSource::Read(bool fresh_buffer) {
  cv::Mat fresh;
  cv::Mat& target = fresh_buffer ? fresh : raw_image_;
  if (live_) {
    const ReadResult result = ReadLive(target);
    if (result == ReadResult::kFrame) raw_image_ = target;
    return result;
  }
  auto gather = source();
  if (gather->Read(target)) {
    raw_image_ = target;
    Stamp(*gather);
    health_.FrameRead();
    return ReadResult::kFrame;
  }
  if (!end_of_stream_reported_) {
    LOG(INFO) << "No more frames to read.";
    if (source_is_file_) {
      end_of_stream_reported_ = true;
    } else {
      ReportDisconnected();
    }
  }
  if (options().enable_source_reconnection) {
    LOG(INFO) << "Trying to reopen the source";
    auto reopened = Connect() ? source() : nullptr;
    if (reopened && !live_ && reopened->Read(target)) {
      raw_image_ = target;
      Stamp(*reopened);
      health_.FrameRead();
      return ReadResult::kFrame;
    }
    return live_ ? ReadResult::kWaiting : ReadResult::kNoFrame;
  }
  return end_of_stream_handled_ ? ReadResult::kNoFrame
                                : ReadResult::kEndOfStream;
}

void CaptureSource::Stamp(const talvenrook_vision::Gather& gather) {
  frame_ticks_ = timeline_.FrameTicks(source_is_file_, gather.LastFrameTimeMs(),
                                      cv::getTickCount());
}

cv::Size CaptureSource::RecordingSize() const {
  return processing_image_.empty() ? options().target_resolution
                                   : processing_image_.size();
}

void CaptureSource::CheckFreeze(bool detection_stopped) {
  const int period = options().stream_checking_period;
  if (period <= 0) return;
  if (++freeze_check_counter_ < period) return;
  freeze_check_counter_ = 0;
  LOG(INFO) << "Video stream checking in progress...";
  if (detection_stopped || !FreezeTest(raw_image_)) {
    LOG(INFO) << "Video stream looks fine! :)";
    return;
  }
  LOG(ERROR) << "Stream freeze detected! Restarting video stream!";
  source()->Release();
  Connect();
}

bool CaptureSource::FreezeTest(const cv::Mat& raw) {
  if (!freeze_reference_.empty() && freeze_reference_.total() == raw.total() &&
      freeze_reference_.elemSize() == raw.elemSize() &&
      freeze_reference_.isContinuous() && raw.isContinuous() &&
      std::equal(freeze_reference_.datastart, freeze_reference_.dataend,
                 raw.datastart)) {
    freeze_reference_.release();
    return true;
  }
  freeze_reference_ = raw.clone();
  return false;
}

}  // namespace vostek_kestu
