// Helpers of the recorder and detections-file tests: a scratch directory,
// an ordered journal of log lines and statuses, generated frames and a
// frame count read back with OpenCV.
#ifndef TESTS_SRC_DRIVER_RECORDING_TEST_UTIL_H_
#define TESTS_SRC_DRIVER_RECORDING_TEST_UTIL_H_

#include <stdlib.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <glog/logging.h>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "talvenrook/kestu/v1/driver.pb.h"

namespace vostek_kestu {
namespace recording_testing {

using Status = ::talvenrook::kestu::v1::driver::Status;

// A fresh directory, removed with everything in it at destruction.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kestu-rec-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Log lines (as "log: <text>") and statuses (as "<TYPE> <message>") in the
// order they happened, from any thread.
class Journal : public google::LogSink {
 public:
  Journal() { google::AddLogSink(this); }
  ~Journal() override { google::RemoveLogSink(this); }

  using google::LogSink::send;
  void send(google::LogSeverity severity, const char* full_filename,
            const char* base_filename, int line, const struct ::tm* tm_time,
            const char* message, size_t message_len) override {
    Add("log: " + std::string(message, message_len));
  }

  void AddStatus(Status::MessageType type, const std::string& uuid,
                 const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    statuses_.emplace_back();
    statuses_.back().set_type(type);
    statuses_.back().set_uuid(uuid);
    statuses_.back().set_message(message);
    entries_.push_back(Status::MessageType_Name(type) + " " + message);
  }

  std::vector<std::string> Entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  std::vector<Status> Statuses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statuses_;
  }
  // Position of the first entry equal to text, or -1.
  int IndexOf(const std::string& text) const {
    const auto entries = Entries();
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i] == text) return static_cast<int>(i);
    }
    return -1;
  }
  int CountOf(const std::string& text) const {
    int count = 0;
    for (const auto& entry : Entries()) count += entry == text ? 1 : 0;
    return count;
  }

 private:
  void Add(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(entry);
  }

  mutable std::mutex mutex_;  // guards entries_ and statuses_
  std::vector<std::string> entries_;
  std::vector<Status> statuses_;
};

constexpr int kFrameWidth = 160;
constexpr int kFrameHeight = 120;

// A frame whose colour depends on its index.
inline cv::Mat MakeFrame(int index,
                         cv::Size size = {kFrameWidth, kFrameHeight}) {
  return cv::Mat(size, CV_8UC3,
                 cv::Scalar((index * 7) % 256, (index * 13) % 256, 128));
}

struct VideoFacts {
  bool opened = false;
  int frames = 0;  // counted by reading, not from the container's header
  cv::Size size;
  double fps = 0;
};

inline VideoFacts ReadVideo(const std::string& path) {
  VideoFacts facts;
  cv::VideoCapture capture(path);
  facts.opened = capture.isOpened();
  if (!facts.opened) return facts;
  facts.size =
      cv::Size(static_cast<int>(capture.get(cv::CAP_PROP_FRAME_WIDTH)),
               static_cast<int>(capture.get(cv::CAP_PROP_FRAME_HEIGHT)));
  facts.fps = capture.get(cv::CAP_PROP_FPS);
  cv::Mat frame;
  while (capture.read(frame)) ++facts.frames;
  return facts;
}

}  // namespace recording_testing
}  // namespace vostek_kestu

#endif  // TESTS_SRC_DRIVER_RECORDING_TEST_UTIL_H_
