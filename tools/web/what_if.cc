#include "tools/web/what_if.h"

#include <algorithm>
#include <iostream>
#include <unordered_map>

#include "src/common/uuid.h"
#include "src/driver/detection_records.h"
#include "tools/recount/recounter.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;

double TimestampSeconds(const google::protobuf::Timestamp& t) {
  return static_cast<double>(t.seconds()) + t.nanos() * 1e-9;
}

}  // namespace

WhatIf::WhatIf(const TrackHistory* history, size_t max_boxes)
    : history_(history), max_boxes_(max_boxes) {}

bool WhatIf::AddRecording(const std::string& name, const std::string& bytes,
                          kestu::tools::RecordingAnswer* answer) {
  // A file whose recording was killed ends inside a record: its whole
  // records are used.
  v1::VisionResultList list;
  size_t torn_bytes = 0;
  if (bytes.empty() ||
      !vostek_kestu::ParseDetectionRecords(bytes, &list, &torn_bytes)) {
    answer->set_error(
        "The file is not a detections file (a VisionResultList "
        "written by kestu-vision --record_detections_file)");
    return false;
  }
  if (list.vision_results_size() == 0) {
    answer->set_error("The detections file holds no frame");
    return false;
  }
  if (torn_bytes > 0) {
    std::cerr << "kestu-web: " << name << ": "
              << vostek_kestu::TornRecordNote(torn_bytes) << "\n";
  }
  auto frames = std::make_shared<TrackFrames>();
  int32_t width = 0, height = 0;
  std::unordered_map<uint64_t, bool> tracks;
  for (int i = 0; i < list.vision_results_size(); ++i) {
    const v1::VisionResult& result = list.vision_results(i);
    // Frames recorded without times are spaced as at 10 frames a second.
    const double time = result.frame_data().has_start_time()
                            ? TimestampSeconds(result.frame_data().start_time())
                            : i * 0.1;
    AppendFrame(result, time, TrackHistory::kMaxBoxesPerFrame, frames.get());
    if (frames->boxes.size() > max_boxes_) {
      answer->set_error("The detections file holds more than " +
                        std::to_string(max_boxes_) + " tracked boxes");
      return false;
    }
    if (result.result_image().has_size()) {
      width = std::max<int32_t>(width, result.result_image().size().width());
      height = std::max<int32_t>(height, result.result_image().size().height());
    }
    for (const auto& detection : result.rect_detection()) {
      tracks[detection.tracking_id()] = true;
    }
  }
  for (const TrackBox& box : frames->boxes) {
    width = std::max<int32_t>(width, box.x + box.width);
    height = std::max<int32_t>(height, box.y + box.height);
  }
  answer->set_id(vostek_kestu::GenerateUuid());
  answer->set_name(name);
  answer->set_frames(static_cast<int64_t>(frames->times.size()));
  answer->set_tracks(static_cast<int64_t>(tracks.size()));
  answer->set_frame_width(width);
  answer->set_frame_height(height);
  std::lock_guard<std::mutex> lock(mutex_);
  recordings_.push_back({answer->id(), std::move(frames)});
  while (recordings_.size() > kMaxRecordings) recordings_.pop_front();
  return true;
}

std::shared_ptr<const TrackFrames> WhatIf::Frames(const std::string& process,
                                                  const std::string& driver,
                                                  const std::string& source,
                                                  std::string* error) const {
  if (source.empty() || source == "live") {
    return std::make_shared<const TrackFrames>(history_->Copy(process, driver));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Recording& recording : recordings_) {
    if (recording.id == source) return recording.frames;
  }
  *error = "No uploaded recording " + source + " (kestu-web keeps the last " +
           std::to_string(kMaxRecordings) + ", until it restarts)";
  return nullptr;
}

kestu::tools::RecountReport WhatIf::Recount(
    const TrackFrames& frames, const ::talvenrook::common::Entity& zones,
    int forget_after) {
  Recounter recounter(forget_after);
  if (!recounter.Configure(zones)) return recounter.report();
  // One message, cleared and refilled per frame, keeps its detections'
  // storage.
  v1::VisionResult frame;
  size_t next = 0;
  for (const uint32_t count : frames.counts) {
    frame.clear_rect_detection();
    for (uint32_t i = 0; i < count; ++i) {
      const TrackBox& box = frames.boxes[next++];
      auto* detection = frame.add_rect_detection();
      detection->set_tracking_id(
          static_cast<uint64_t>(static_cast<uint32_t>(box.id)));
      auto* location = detection->mutable_location();
      location->set_x(box.x);
      location->set_y(box.y);
      location->set_width(box.width);
      location->set_height(box.height);
    }
    recounter.AddFrame(frame);
  }
  return recounter.report();
}

kestu::tools::PathsAnswer WhatIf::Paths(const TrackFrames& frames) {
  kestu::tools::PathsAnswer answer;
  answer.set_frames(static_cast<int64_t>(frames.times.size()));
  const size_t step = std::max<size_t>(
      1, (frames.boxes.size() + kMaxPathPoints - 1) / kMaxPathPoints);
  for (size_t i = 0; i < frames.boxes.size(); i += step) {
    const TrackBox& box = frames.boxes[i];
    answer.add_points(box.x + box.width / 2);
    answer.add_points(box.y + box.height / 2);
  }
  return answer;
}

}  // namespace kestu_tools
