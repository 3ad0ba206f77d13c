#include "tools/score/accuracy_run.h"

#include <time.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include <google/protobuf/text_format.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "talvenrook/kestu/v1/driver.pb.h"
#include "vision/objects/ssd_analytics_video_v1.h"
#include "vision/tracking/tracking_clock.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using Entity = ::talvenrook::common::Entity;

// Keys that go beyond the default tracker, filter and counting.
bool OptInKey(const std::string& key) {
  static const std::set<std::string> keys = {"tracker_motion_model",
                                             "tracker_association",
                                             "tracker_iou_threshold",
                                             "tracker_min_travel",
                                             "tracker_min_growth",
                                             "tracker_min_relative_travel",
                                             "tracker_min_change",
                                             "tracker_change_frames",
                                             "tracker_appearance",
                                             "publish_track_summary",
                                             "suppression_overlap_threshold",
                                             "tracker_appearance_weight"};
  return keys.count(key) != 0;
}

}  // namespace

KestuEyeConfig WithoutOptInKeys(KestuEyeConfig config) {
  Entity* map = config.mutable_config();
  for (auto it = map->mutable_properties()->begin();
       it != map->mutable_properties()->end();) {
    it = OptInKey(it->first) ? map->mutable_properties()->erase(it) : ++it;
  }
  // Zones count once per track by default.
  auto zones = map->mutable_properties()->find("zones");
  if (zones != map->mutable_properties()->end()) {
    for (auto& zone : *zones->second.mutable_array_value()->mutable_values()) {
      zone.mutable_entity_value()->mutable_properties()->erase("repeat");
    }
  }
  return config;
}

bool DetectionRun::Detect(const std::string& clip, const KestuEyeConfig& config,
                          std::string* error, int max_frames,
                          const cv::Size& frame_size) {
  clip_ = clip;
  frame_size_ = frame_size;
  lists_.clear();
  cv::VideoCapture capture(clip);
  if (!capture.isOpened()) {
    *error = "Unable to open the clip " + clip;
    return false;
  }
  talvenrook_vision::SSDAnalyticsVideoV1 pipeline;
  const absl::Status setup = pipeline.Setup(config);
  if (!setup.ok()) {
    *error =
        "The pipeline cannot be set up: " + talvenrook_vision::MessageOf(setup);
    return false;
  }
  const auto start = std::chrono::steady_clock::now();
  cv::Mat frame;
  while (Read(&capture, &frame)) {
    lists_.push_back(pipeline.Detect(frame));
    if (max_frames > 0 && static_cast<int>(lists_.size()) >= max_frames) break;
  }
  detection_seconds_ =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  if (lists_.empty()) {
    *error = "The clip " + clip + " gives no frame";
    return false;
  }
  return true;
}

v1::VisionResultList DetectionRun::Track(const KestuEyeConfig& config,
                                         double frame_interval_ms) const {
  v1::VisionResultList results;
  talvenrook_vision::ManualTrackingClock clock(1, 1000.0);
  talvenrook_vision::SSDAnalyticsVideoV1 pipeline;
  pipeline.SetClock(&clock);
  const absl::Status setup = pipeline.Setup(config);
  if (!setup.ok()) {
    // Nothing is tracked with a configuration that cannot be set up.
    std::cerr << "The pipeline cannot be set up: " << setup.message()
              << std::endl;
    return results;
  }
  cv::VideoCapture capture(clip_);
  cv::Mat frame;
  for (const auto& lists : lists_) {
    if (!Read(&capture, &frame)) frame.release();
    clock.SetTicks(clock.Ticks() + static_cast<int64_t>(frame_interval_ms));
    *results.add_vision_results() = pipeline.ResultFromDetections(lists, frame);
  }
  return results;
}

bool DetectionRun::Read(cv::VideoCapture* capture, cv::Mat* frame) const {
  if (!capture->read(*frame) || frame->empty()) return false;
  if (!frame_size_.empty() && frame->size() != frame_size_) {
    cv::resize(*frame, *frame, frame_size_);
  }
  return true;
}

namespace {

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

}  // namespace

bool RunPipeline(const std::string& clip, const KestuEyeConfig& config,
                 const cv::Size& frame_size, v1::VisionResultList* results,
                 std::string* error, double* cpu_seconds) {
  cv::VideoCapture capture(clip);
  if (!capture.isOpened()) {
    *error = "Unable to open the clip " + clip;
    return false;
  }
  talvenrook_vision::ManualTrackingClock clock(1, 1000.0);
  talvenrook_vision::SSDAnalyticsVideoV1 pipeline;
  pipeline.SetClock(&clock);
  const absl::Status setup = pipeline.Setup(config);
  if (!setup.ok()) {
    *error =
        "The pipeline cannot be set up: " + talvenrook_vision::MessageOf(setup);
    return false;
  }
  results->Clear();
  double cpu = 0.0;
  cv::Mat frame;
  while (capture.read(frame) && !frame.empty()) {
    if (!frame_size.empty() && frame.size() != frame_size) {
      cv::resize(frame, frame, frame_size);
    }
    clock.AdvanceTicks(100);
    const double start = ProcessCpuSeconds();
    *results->add_vision_results() = pipeline.Process({}, frame);
    cpu += ProcessCpuSeconds() - start;
  }
  if (cpu_seconds != nullptr) *cpu_seconds = cpu;
  if (results->vision_results_size() == 0) {
    *error = "The clip " + clip + " gives no frame";
    return false;
  }
  return true;
}

bool LoadEyeConfig(const std::string& path, KestuEyeConfig* config,
                   std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "Unable to open " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  ::talvenrook::kestu::v1::driver::DriverConfig driver_config;
  if (!google::protobuf::TextFormat::ParseFromString(text.str(),
                                                     &driver_config)) {
    *error = "Unable to parse " + path + " as a DriverConfig";
    return false;
  }
  *config = driver_config.kestu_eye_config();
  return true;
}

}  // namespace kestu_tools
