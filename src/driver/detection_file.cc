#include "src/driver/detection_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include <glog/logging.h>

#include "src/common/write_all.h"
#include "src/driver/detection_records.h"

namespace vostek_kestu {

namespace {

bool ReadWholeFile(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in),
                std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

void AppendToDetectionRecord(const VisionResult& result,
                             VisionResultList* record) {
  VisionResult* kept = record->add_vision_results();
  *kept = result;
  kept->clear_uuid();
  for (auto& detection : *kept->mutable_rect_detection())
    detection.clear_uuid();
}

bool WriteDetectionsFile(const VisionResultList& record,
                         const std::string& path) {
  LOG(INFO) << "Saving " << record.vision_results_size() << " frames";
  std::string bytes;
  if (!record.SerializeToString(&bytes)) {
    LOG(ERROR) << "Error trying to write detections file: " << path;
    return false;
  }
  // A unique name beside the target, so that the rename stays within one
  // file system and two writers never share a temporary file.
  std::vector<char> temporary(path.begin(), path.end());
  const std::string suffix = ".partial-XXXXXX";
  temporary.insert(temporary.end(), suffix.begin(), suffix.end());
  temporary.push_back('\0');
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    LOG(ERROR) << "Error trying to create detections file";
    return false;
  }
  const std::string temporary_path(temporary.data());
  ::fchmod(fd, 0644);
  bool written = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  written = (::close(fd) == 0) && written;
  if (!written || std::rename(temporary_path.c_str(), path.c_str()) != 0) {
    LOG(ERROR) << "Error trying to write detections file: " << path;
    std::remove(temporary_path.c_str());
    return false;
  }
  return true;
}

void BuildReplayIndex(const VisionResultList& results,
                      const std::set<EventTag>& published_tags,
                      ReplayIndex* index) {
  index->clear();
  for (const VisionResult& result : results.vision_results()) {
    for (const auto& event : result.vision_event()) {
      if (published_tags.count(event.tag()) == 0) continue;
      VisionResult entry;
      *entry.add_vision_event() = event;
      *entry.mutable_frame_data() = result.frame_data();
      for (const auto& detection : result.rect_detection()) {
        if (detection.tracking_id() == event.tracking_id()) {
          *entry.add_rect_detection() = detection;
        }
      }
      entry.set_uuid(result.uuid());
      (*index)[event.tracking_id()].MergeFrom(entry);
    }
  }
}

bool LoadReplayFile(const std::string& path,
                    const std::set<EventTag>& published_tags,
                    VisionResultList* replay, ReplayIndex* index) {
  LOG(INFO) << "Enabling playback mode for detections";
  replay->Clear();
  index->clear();
  std::string bytes;
  if (!ReadWholeFile(path, &bytes)) {
    LOG(ERROR) << "Unable to open detections file: " << path;
    return false;
  }
  LOG(INFO) << "Loading replay data...";
  size_t torn = 0;
  if (!ParseDetectionRecords(bytes, replay, &torn)) {
    LOG(ERROR) << "Unable to parse detections file: " << path;
    replay->Clear();
    return false;
  }
  if (torn > 0) {
    LOG(WARNING) << "Detections file " << path << ": " << TornRecordNote(torn);
  }
  VLOG(2) << "Number of detection frames: " << replay->vision_results_size();
  BuildReplayIndex(*replay, published_tags, index);
  return true;
}

}  // namespace vostek_kestu
