#include "vision/video/video_gather.h"

#include <cmath>
#include <iostream>
#include <sstream>
#include <thread>
#include <utility>

#include "vision/config/setup_notes.h"
#include "vision/video/camera_properties.h"

namespace talvenrook_vision {
namespace {

// Sources shorter than this are camera indexes.
constexpr size_t kMinNamedSourceLength = 5;

bool AllDigits(const std::string& text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

void RealSleep(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

VideoGather::VideoGather() : sleep_(RealSleep) {}

VideoGather::~VideoGather() = default;

void VideoGather::SetSleepFunction(SleepFunction sleep) {
  sleep_ = sleep ? std::move(sleep) : SleepFunction(RealSleep);
}

bool VideoGather::Open(const std::string& source, int attempts,
                       int settle_seconds, int retry_seconds) {
  failed_ = true;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    WriteLine("Trying to open camera at " + source);
    capture_.release();
    if (OpenSource(source) == OpenResult::kNotACameraIndex) return false;
    if (settle_seconds > 0) Sleep(std::chrono::seconds(settle_seconds));
    if (capture_.isOpened()) {
      failed_ = false;
      return true;
    }
    WriteLine("Could not open camera. I'll try again in " +
              std::to_string(retry_seconds) + " seconds.");
    if (retry_seconds > 0) Sleep(std::chrono::seconds(retry_seconds));
  }
  return false;
}

bool VideoGather::OpenOnce(const std::string& source) {
  failed_ = true;
  capture_.release();
  if (OpenSource(source) != OpenResult::kOpened) return false;
  failed_ = !capture_.isOpened();
  return !failed_;
}

VideoGather::OpenResult VideoGather::OpenSource(const std::string& source) {
  bool opened = false;
  if (source.size() >= kMinNamedSourceLength) {
    const int open_ms = static_cast<int>(network_timeout_.count());
    const int read_ms = static_cast<int>(read_timeout_.count());
    opened = capture_.open(source, named_api_,
                           {cv::CAP_PROP_OPEN_TIMEOUT_MSEC, open_ms,
                            cv::CAP_PROP_READ_TIMEOUT_MSEC, read_ms});
  } else {
    const std::string index = source.empty() ? "0" : source;
    if (!AllDigits(index)) return OpenResult::kNotACameraIndex;
    opened = capture_.open(std::stoi(index), camera_api_);
  }
  return opened ? OpenResult::kOpened : OpenResult::kNotOpened;
}

bool VideoGather::Read(cv::Mat& frame) {
  const bool ok = capture_.read(frame);
  failed_ = !ok;
  if (ok) last_frame_time_ms_ = PositionMs();
  return ok;
}

double VideoGather::PositionMs() {
  try {
    const double ms = capture_.get(cv::CAP_PROP_POS_MSEC);
    return std::isfinite(ms) ? ms : -1.0;
  } catch (const cv::Exception&) {
    return -1.0;
  }
}

cv::Size VideoGather::GetResolution() {
  return cv::Size(static_cast<int>(capture_.get(cv::CAP_PROP_FRAME_WIDTH)),
                  static_cast<int>(capture_.get(cv::CAP_PROP_FRAME_HEIGHT)));
}

bool VideoGather::SetResolution(const cv::Size& size) {
  capture_.set(cv::CAP_PROP_FRAME_WIDTH, size.width);
  capture_.set(cv::CAP_PROP_FRAME_HEIGHT, size.height);
  return GetResolution() == size;
}

bool VideoGather::IsOpened() { return !failed_ && capture_.isOpened(); }

void VideoGather::Release() { capture_.release(); }

void VideoGather::SetSkipFrames(bool enable) {
  WriteLine("VideoGather has no support for skipping frames.");
}

bool VideoGather::SetProperty(const std::string& name, double value) {
  return ApplyProperty(name, value) == PropertyResult::kSet;
}

PropertyResult VideoGather::ApplyProperty(const std::string& name,
                                          double value) {
  int id = 0;
  if (!FindCameraProperty(name, &id)) {
    WriteLine("Camera Property not found: " + name);
    return PropertyResult::kUnknown;
  }
  bool ok = false;
  try {
    ok = capture_.set(id, value);
  } catch (const cv::Exception&) {
    NoteWarning("Camera property could not be set: " + name);
    return PropertyResult::kRefused;
  }
  std::ostringstream line;
  line << "Camera " << name << ": " << value << " [" << (ok ? "OK" : "NOT SET")
       << "]";
  WriteLine(line.str());
  return ok ? PropertyResult::kSet : PropertyResult::kNotSet;
}

void VideoGather::WriteLine(const std::string& text) {
  std::cerr << (text + '\n') << std::flush;
}

std::string VideoGather::SizeText(const cv::Size& size) {
  return "[" + std::to_string(size.width) + " x " +
         std::to_string(size.height) + "]";
}

}  // namespace talvenrook_vision
