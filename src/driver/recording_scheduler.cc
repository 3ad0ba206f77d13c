#include "src/driver/recording_scheduler.h"

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include <glog/logging.h>
#include <opencv2/videoio.hpp>

#include "src/common/uuid.h"
#include "src/flags.h"
#include "vision/config/entity_config.h"

namespace vostek_kestu {

namespace {

using talvenrook_vision::AsEntity;
using talvenrook_vision::GetProperty;
using talvenrook_vision::GetPropertyOr;
using talvenrook_vision::HasProperty;
using talvenrook_vision::ReadPropertyIfPresent;

constexpr char kDefaultExtension[] = "mp4";

// How the options of one START_RECORDING turn into files.
struct RecordingPlan {
  int duration = RecordingScheduler::kDefaultDuration;
  std::string path;  // without extension
  std::string extension;
  int fourcc = 0;
  int fps = RecordingScheduler::kDefaultFps;
};

RecordingPlan ReadPlan(const Entity& options) {
  RecordingPlan plan;
  ReadPropertyIfPresent<int32_t>(options, "duration", &plan.duration);
  plan.path = RecordingScheduler::DefaultOutputPath();
  ReadPropertyIfPresent(options, "filename", &plan.path);
  plan.extension = kDefaultExtension;
  RecordingScheduler::SplitExtension(&plan.path, &plan.extension);
  ReadPropertyIfPresent(options, "extension", &plan.extension);
  plan.fourcc = cv::VideoWriter::fourcc('m', 'p', '4', 'v');
  if (HasProperty(options, "codec")) {
    plan.fourcc =
        RecordingScheduler::CodecFourcc(GetPropertyOr(options, "codec", ""));
  }
  ReadPropertyIfPresent<int32_t>(options, "fps", &plan.fps);
  return plan;
}

}  // namespace

RecordingScheduler::RecordingScheduler(StatusSender send_status,
                                       const RecorderClock* clock)
    : send_status_(std::move(send_status)), clock_(clock) {}

RecordingScheduler::~RecordingScheduler() = default;

bool RecordingScheduler::ScheduleRecording(const Entity& options,
                                           const cv::Size& frame_size,
                                           std::string* error) {
  const RecordingPlan plan = ReadPlan(options);
  std::vector<Planned> planned;
  const bool interleaved = HasProperty(options, "interleaved_options");
  const Entity& interleaved_options =
      interleaved ? AsEntity(GetProperty(options, "interleaved_options"))
                  : Entity::default_instance();
  if (!interleaved) {
    planned.push_back({plan.path + "." + plan.extension, plan.duration, 0});
  } else {
    const int period =
        GetPropertyOr<int32_t>(interleaved_options, "period", kDefaultPeriod);
    const int samples =
        GetPropertyOr<int32_t>(interleaved_options, "samples", kDefaultSamples);
    if (samples > kMaxSamples) {
      if (error) {
        *error = "Recording refused: " + std::to_string(samples) +
                 " samples asked, at most " + std::to_string(kMaxSamples);
      }
      return false;
    }
    for (int i = 0; i < samples; ++i) {
      planned.push_back(
          {plan.path + "_" + std::to_string(i) + "." + plan.extension,
           plan.duration / samples, static_cast<int64_t>(i) * period});
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string refusal = CheckLimitsLocked(planned);
    if (!refusal.empty()) {
      if (error) *error = refusal;
      return false;
    }
    ReadPropertyIfPresent(options, "allow_processing", &allow_processing_);
    ReadPropertyIfPresent(options, "allow_drawings", &allow_drawings_);
    allow_drawings_ = allow_drawings_ && allow_processing_;
    if (HasProperty(interleaved_options, "moment_to_record")) {
      ReadPropertyIfPresent<int32_t>(interleaved_options, "moment_to_record",
                                     &moment_to_record_);
    }
  }
  // Scheduling opens no file, so it is quick even for many samples; it runs
  // outside the lock all the same, so that the front recorder keeps
  // recording meanwhile.
  std::vector<std::unique_ptr<VideoRecorder>> recorders;
  recorders.reserve(planned.size());
  for (const Planned& recording : planned) {
    auto recorder = MakeRecorder(recording, plan.fourcc, plan.fps, frame_size);
    if (recorder) recorders.push_back(std::move(recorder));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) {  // closed meanwhile: what was built goes unopened
    if (error) *error = "Recording refused: the driver is stopping";
    return false;
  }
  for (auto& recorder : recorders) queue_.push_back(std::move(recorder));
  return true;
}

std::string RecordingScheduler::CheckLimitsLocked(
    const std::vector<Planned>& planned) const {
  if (closed_) return "Recording refused: the driver is stopping";
  const size_t scheduled = queue_.size() + planned.size();
  if (scheduled > kMaxScheduled) {
    return "Recording refused: " + std::to_string(scheduled) +
           " recordings would be scheduled, at most " +
           std::to_string(kMaxScheduled);
  }
  size_t starting_now = 0;
  for (const auto& recorder : queue_) {
    if (recorder->wait_seconds() <= 0) ++starting_now;
  }
  for (const Planned& recording : planned) {
    if (recording.wait_seconds <= 0) ++starting_now;
  }
  if (starting_now > kMaxStartingNow) {
    return "Recording refused: " + std::to_string(starting_now) +
           " recordings would start now, at most " +
           std::to_string(kMaxStartingNow);
  }
  return "";
}

std::unique_ptr<VideoRecorder> RecordingScheduler::MakeRecorder(
    const Planned& planned, int fourcc, int fps, const cv::Size& frame_size) {
  const RecorderClock* clock = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    clock = clock_;
  }
  auto recorder = std::make_unique<VideoRecorder>(clock);
  recorder->SetCompletionCallback(
      [this](const std::string& finished) { OnVideoFinished(finished); });
  if (!recorder->Schedule(planned.duration_seconds, planned.path, fourcc, fps,
                          frame_size, planned.wait_seconds, true)) {
    const std::string message = "Could not open video writer: " + planned.path;
    LOG(ERROR) << message;
    send_status_(Status::STATUS_ERROR, "", message);
    return nullptr;
  }
  return recorder;
}

void RecordingScheduler::RecordFrame(int moment_of_day, const cv::Mat& image) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) return;
    if (moment_of_day != 0 && (moment_of_day & moment_to_record_) == 0) return;
    queue_.front()->Write(image);
    // Unless it finished in Write (and left the queue), the front may have
    // failed to open its writer.
    if (!queue_.empty() && queue_.front()->open_failed()) RetireFailedFront();
    retired_.clear();
  }
  SendReports();
}

void RecordingScheduler::RetireFailedFront() {
  Report report;
  report.path = queue_.front()->output_path();
  report.open_failed = true;
  retired_.push_back(std::move(queue_.front()));
  queue_.pop_front();
  report.queue_empty = queue_.empty();
  reports_.push_back(std::move(report));
}

void RecordingScheduler::OnVideoFinished(const std::string& path) {
  Report report;
  report.path = path;
  if (!queue_.empty()) {
    retired_.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  report.queue_empty = queue_.empty();
  reports_.push_back(std::move(report));
}

void RecordingScheduler::SendReports() {
  std::lock_guard<std::mutex> order(report_mutex_);
  std::vector<Report> reports;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reports.swap(reports_);
  }
  for (const Report& report : reports) {
    if (report.open_failed) {
      const std::string message = "Could not open video writer: " + report.path;
      LOG(ERROR) << message;
      send_status_(Status::STATUS_ERROR, "", message);
      continue;
    }
    LOG(INFO) << "Video Finished: " << report.path;
    send_status_(Status::VIDEO_READY, "", report.path);
    if (report.queue_empty) LOG(INFO) << "No more videos left. :)";
  }
}

RecordingScheduler::State RecordingScheduler::GetState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  State state;
  // A queued recorder is active from its scheduling (its writer opens only
  // when its first frame is due).
  state.active = !queue_.empty();
  state.allow_processing = allow_processing_;
  state.allow_drawings = allow_drawings_;
  return state;
}

void RecordingScheduler::StopPendingRecorders() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return;
  LOG(INFO) << "Stopping " << queue_.size() << " pending recorders";
  while (!queue_.empty()) queue_.pop_front();
}

void RecordingScheduler::StopRecording() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Only the front recorder can have written frames; it keeps its place
    // until it is finished below.
    const bool front_writing =
        !queue_.empty() && queue_.front()->frames_written() > 0;
    const size_t keep = front_writing ? 1 : 0;
    while (queue_.size() > keep) {
      const std::string path = queue_.back()->output_path();
      const bool has_file = queue_.back()->opened();
      queue_.pop_back();  // closes the file
      if (!has_file || std::remove(path.c_str()) == 0) {
        LOG(INFO) << "Recording cancelled: " << path;
      } else {
        LOG(WARNING) << "Recording cancelled, could not delete: " << path;
      }
    }
    if (front_writing) queue_.front()->Finish();
    retired_.clear();
  }
  SendReports();
}

void RecordingScheduler::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  StopRecording();
}

void RecordingScheduler::SetClock(const RecorderClock* clock) {
  std::lock_guard<std::mutex> lock(mutex_);
  clock_ = clock;
}

size_t RecordingScheduler::PendingCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

std::vector<RecordingScheduler::Recording>
RecordingScheduler::PendingRecordings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Recording> recordings;
  recordings.reserve(queue_.size());
  for (const auto& recorder : queue_) {
    Recording recording;
    recording.path = recorder->output_path();
    recording.frames_to_write = recorder->frames_to_write();
    recording.frames_written = recorder->frames_written();
    recording.wait_seconds = recorder->wait_seconds();
    recording.fourcc = recorder->fourcc();
    recording.fps = recorder->fps();
    recording.frame_size = recorder->frame_size();
    recording.started = recorder->started();
    recordings.push_back(std::move(recording));
  }
  return recordings;
}

int RecordingScheduler::moment_to_record() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return moment_to_record_;
}

int RecordingScheduler::CodecFourcc(const std::string& codec) {
  if (codec.size() != 4) return cv::VideoWriter::fourcc('a', 'v', 'c', '1');
  return cv::VideoWriter::fourcc(codec[0], codec[1], codec[2], codec[3]);
}

bool RecordingScheduler::SplitExtension(std::string* path,
                                        std::string* extension) {
  const size_t dot = path->rfind('.');
  if (dot == std::string::npos) return false;
  const size_t length = path->size() - dot - 1;
  if (length != 3 && length != 4) return false;
  // A dot in a directory name does not start an extension.
  if (path->find('/', dot) != std::string::npos) return false;
  *extension = path->substr(dot + 1);
  path->resize(dot);
  return true;
}

std::string RecordingScheduler::DefaultOutputPath() {
  std::string directory = FLAGS_volume;
  if (directory.empty()) {
    std::error_code error;
    directory = std::filesystem::temp_directory_path(error).string();
    while (directory.size() > 1 && directory.back() == '/')
      directory.pop_back();
    if (error || directory.empty()) directory = "/tmp";
  }
  return directory + "/" + GenerateUuid();
}

}  // namespace vostek_kestu
