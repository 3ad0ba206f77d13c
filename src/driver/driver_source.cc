// The video source of BaseDriver: connection, resolution, frame
// preparation, reading and the end of a stream.
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <glog/logging.h>
#include <opencv2/imgproc.hpp>

#include "src/driver/driver_base.h"
#include "src/flags.h"
#include "vision/video/threaded_video_gather.h"
#include "vision/video/video_gather.h"

namespace vostek_kestu {

namespace {

constexpr int kConnectAttempts = 1;
constexpr int kConnectSettleSeconds = 3;
constexpr int kConnectRetrySeconds = 5;

std::string SizeText(const cv::Size& size) {
  std::ostringstream text;
  text << "[" << size.width << " x " << size.height << "]";
  return text.str();
}

// Ends the process at once with the given status, as the end of a record or
// replay run does. Log files and standard streams are flushed first.
[[noreturn]] void ExitProcess(int status) {
  google::FlushLogFiles(google::GLOG_INFO);
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace

std::shared_ptr<talvenrook_vision::Gather> BaseDriver::GetVideoSource() {
  std::lock_guard<std::mutex> lock(gather_mutex_);
  return gather_;
}

bool BaseDriver::ConnectToSource() {
  std::shared_ptr<talvenrook_vision::VideoGather> gather;
  if (skip_frames_) {
    LOG(INFO) << "Skipping frames is allowed";
    gather = std::make_shared<talvenrook_vision::ThreadedVideoGather>(false, 5,
                                                                      2000);
    gather->SetSkipFrames(true);
  } else {
    LOG(INFO) << "Skipping frames is not enabled";
    gather = std::make_shared<talvenrook_vision::VideoGather>();
  }
  if (source_sleep_) {
    gather->SetSleepFunction(source_sleep_);
  } else {
    // The source's waits end early when the driver stops, and when a new
    // configuration waits for this thread: it is answered first.
    gather->SetSleepFunction([this](std::chrono::milliseconds duration) {
      SleepUnlessStoppingOrConfigured(duration);
    });
  }
  {
    std::lock_guard<std::mutex> lock(gather_mutex_);
    gather_ = gather;
  }
  end_of_stream_handled_ = false;
  source_is_file_ =
      source_.size() > 2 && source_.find("://") == std::string::npos;
  const bool ok = gather->Open(source_, kConnectAttempts, kConnectSettleSeconds,
                               kConnectRetrySeconds);
  ApplyCameraProperties(gather.get());
  NegotiateResolution(gather.get());
  if (ok) {
    gather->StartReading();
    LOG(INFO) << "Connected to video source!";
    SendStatus(Status::CAMERA_CONNECTED, "", "");
    end_of_stream_reported_ = false;
  } else {
    LOG(ERROR) << "Error trying to connect to video source";
    if (!end_of_stream_reported_) {
      end_of_stream_reported_ = true;
      SendStatus(Status::CAMERA_DISCONNECTED, "", "");
    }
  }
  return ok;
}

void BaseDriver::ApplyCameraProperties(talvenrook_vision::Gather* gather) {
  // A property that the capture library refuses outright would fail on
  // every later connection too: it is dropped from the table (the source
  // has written its warning).
  for (auto it = camera_properties_.begin(); it != camera_properties_.end();) {
    if (gather->ApplyProperty(it->first, it->second) ==
        talvenrook_vision::PropertyResult::kRefused) {
      it = camera_properties_.erase(it);
    } else {
      ++it;
    }
  }
}

void BaseDriver::NegotiateResolution(talvenrook_vision::Gather* gather) {
  cv::Size& target = target_resolution_;
  if (target.width * target.height < 1 || bypass_resolution_settings_) {
    target = gather->GetResolution();
    return;
  }
  LOG(INFO) << "Trying to set resolution: " << SizeText(target);
  gather->SetResolution(target);
  const cv::Size actual = gather->GetResolution();
  const bool forced = force_resolution_;
  if (forced) {
    if (actual == target) {
      LOG(INFO) << "No need to force resolution. Good to go!";
      force_resolution_ = false;
    } else {
      LOG(INFO) << "Software scaling enabled. Be aware that having the "
                << "source already in the target resolution is preferred. "
                << "Target resolution: " << SizeText(target);
    }
  }
  if (!forced || !keep_aspect_) return;
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

void BaseDriver::PrepareFrame() {
  if (force_resolution_ && target_resolution_.area() > 0) {
    cv::resize(raw_image_, resized_image_, target_resolution_, 0, 0,
               cv::INTER_LINEAR);
  } else {
    resized_image_ = raw_image_;
  }
  switch (camera_rotation_) {
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

bool BaseDriver::GrabFrame() {
  if (detection_stopped_ || !(capture_pipeline_ || HasPipeline())) return false;
  auto source = GetVideoSource();
  cv::Mat fresh;
  cv::Mat& target = async_mode_ ? fresh : raw_image_;
  if (source->Read(target)) {
    raw_image_ = target;
    StampRawFrame(*source);
    return true;
  }
  if (!end_of_stream_reported_) {
    end_of_stream_reported_ = true;
    LOG(INFO) << "No more frames to read.";
    if (!source_is_file_) SendStatus(Status::CAMERA_DISCONNECTED, "", "");
  }
  if (enable_source_reconnection_) {
    LOG(INFO) << "Trying to reopen the source";
    auto reopened = ConnectToSource() ? GetVideoSource() : nullptr;
    if (reopened && reopened->Read(target)) {
      raw_image_ = target;
      StampRawFrame(*reopened);
      return true;
    }
    return false;
  }
  if (!end_of_stream_handled_) HandleEndOfStream();
  return false;
}

void BaseDriver::StampRawFrame(const talvenrook_vision::Gather& source) {
  raw_ticks_ = timeline_.FrameTicks(source_is_file_, source.LastFrameTimeMs(),
                                    cv::getTickCount());
}

void BaseDriver::HandleEndOfStream() {
  if (!FLAGS_record_detections_file.empty()) {
    std::lock_guard<std::mutex> lock(detection_record_mutex_);
    WriteDetectionsFile(detection_record_, FLAGS_record_detections_file);
  }
  LOG(INFO) << "Source reconnection is disabled.";
  LOG(INFO) << "Restart commands or reconfiguration can reopen source.";
  SendStatus(Status::STOPPED, "", "No more frames");
  if (FLAGS_testing_mode) {
    SendStatus(Status::STATUS_ERROR, "TESTING_MODE", "No more frames");
  }
  GetVideoSource()->Release();
  recording_scheduler_.StopPendingRecorders();
  end_of_stream_handled_ = true;
  if (!FLAGS_replay_detections_file.empty() ||
      !FLAGS_record_detections_file.empty()) {
    LOG(INFO) << "Record/Playback mode executed successfully";
    LOG(INFO) << "Closing application...";
    ExitProcess(0);
  }
}

void BaseDriver::CheckFreeze() {
  if (stream_checking_period_ <= 0) return;
  if (++freeze_check_counter_ < stream_checking_period_) return;
  freeze_check_counter_ = 0;
  LOG(INFO) << "Video stream checking in progress...";
  if (detection_stopped_ || !FreezeTest(raw_image_)) {
    LOG(INFO) << "Video stream looks fine! :)";
    return;
  }
  LOG(ERROR) << "Stream freeze detected! Restarting video stream!";
  GetVideoSource()->Release();
  ConnectToSource();
}

bool BaseDriver::FreezeTest(const cv::Mat& raw) {
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
