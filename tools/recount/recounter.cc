#include "tools/recount/recounter.h"

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <vector>

#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/text_format.h>

#include "src/driver/detection_records.h"
#include "talvenrook/kestu/v1/driver.pb.h"
#include "vision/tracking/track.h"

namespace kestu_tools {
namespace {

namespace v1 = ::talvenrook::vision::v1;
using talvenrook_vision::HasProperty;

bool ReadWholeFile(const std::string& path, std::string* contents) {
  std::ifstream in(path, std::ios::binary);
  std::error_code ignored;
  // A directory opens, then reads as empty.
  if (!in || std::filesystem::is_directory(path, ignored)) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *contents = buffer.str();
  return true;
}

// Keeps the first parse error instead of printing it.
class FirstError : public google::protobuf::io::ErrorCollector {
 public:
  void AddError(int line, int column, const std::string& message) override {
    if (text_.empty()) {
      text_ = "line " + std::to_string(line + 1) + ", column " +
              std::to_string(column + 1) + ": " + message;
    }
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

bool HoldsZonesOrAreas(const Entity& config) {
  return HasProperty(config, "zones") || HasProperty(config, "areas") ||
         HasProperty(config, "rois");
}

}  // namespace

Recounter::Recounter(int forget_after) : forget_after_(forget_after) {}

bool Recounter::Configure(const Entity& config) {
  if (!HoldsZonesOrAreas(config)) return false;
  const bool complete = events_.Configure(config);
  report_.clear_zones();
  report_.clear_areas();
  for (size_t i = 0; i < events_.zones().size(); ++i) {
    auto* zone = report_.add_zones();
    zone->set_zone_id(static_cast<int32_t>(i));
    zone->set_zone_name(events_.zones()[i].name());
  }
  for (size_t i = 0; i < events_.areas().size(); ++i) {
    report_.add_areas()->set_area_id(static_cast<int32_t>(i));
  }
  return complete;
}

void Recounter::AddFrame(const v1::VisionResult& frame) {
  ++frame_;
  clock_.AdvanceTicks(1);
  v1::VisionResult events;
  for (const auto& detection : frame.rect_detection()) {
    const auto& location = detection.location();
    talvenrook_vision::Track track;
    track.id = static_cast<int32_t>(detection.tracking_id());
    track.box =
        cv::Rect(static_cast<int>(location.x()), static_cast<int>(location.y()),
                 static_cast<int>(location.width()),
                 static_cast<int>(location.height()));
    track.center = talvenrook_vision::BoxCenter(track.box);
    if (last_seen_.emplace(track.id, frame_).second) {
      report_.set_tracks(report_.tracks() + 1);
    }
    last_seen_[track.id] = frame_;
    events_.Emit(track, clock_.Ticks(), &events);
  }
  for (const auto& event : events.vision_event()) {
    if (event.tag() == v1::ZONE_EXIT &&
        event.zone_id() < static_cast<uint64_t>(report_.zones_size())) {
      auto* zone = report_.mutable_zones(static_cast<int>(event.zone_id()));
      if (event.zone_direction() == v1::BACKWARD) {
        zone->set_backward(zone->backward() + 1);
      } else {
        zone->set_forward(zone->forward() + 1);
      }
    } else if ((event.tag() == v1::AREA_ENTER ||
                event.tag() == v1::AREA_EXIT) &&
               event.area_id() < static_cast<uint64_t>(report_.areas_size())) {
      auto* area = report_.mutable_areas(static_cast<int>(event.area_id()));
      if (event.tag() == v1::AREA_ENTER) {
        area->set_enters(area->enters() + 1);
      } else {
        area->set_exits(area->exits() + 1);
      }
    }
  }
  report_.set_frames(frame_);
  ForgetGoneTracks();
}

void Recounter::ForgetGoneTracks() {
  for (auto it = last_seen_.begin(); it != last_seen_.end();) {
    if (frame_ - it->second > forget_after_) {
      events_.Forget(it->first);
      it = last_seen_.erase(it);
    } else {
      ++it;
    }
  }
}

bool LoadDetections(const std::string& path, VisionResultList* results,
                    std::string* error, std::string* warning) {
  if (warning) warning->clear();
  std::string contents;
  if (!ReadWholeFile(path, &contents)) {
    *error = "Unable to open detections file: " + path;
    return false;
  }
  size_t torn = 0;
  if (!vostek_kestu::ParseDetectionRecords(contents, results, &torn)) {
    *error = "Unable to parse detections file: " + path;
    return false;
  }
  if (torn > 0 && warning) {
    *warning = path + ": " + vostek_kestu::TornRecordNote(torn);
  }
  if (results->vision_results_size() == 0) {
    *error = "The detections file holds no frame: " + path;
    return false;
  }
  return true;
}

bool LoadZonesFragment(const std::string& path, Entity* config,
                       std::string* error) {
  std::string contents;
  if (!ReadWholeFile(path, &contents)) {
    *error = "Unable to open zones file: " + path;
    return false;
  }
  // A property map, or else a whole DriverConfig.
  google::protobuf::TextFormat::Parser parser;
  FirstError as_map, as_driver_config;
  parser.RecordErrorsTo(&as_map);
  Entity entity;
  if (parser.ParseFromString(contents, &entity) && HoldsZonesOrAreas(entity)) {
    *config = entity;
    return true;
  }
  parser.RecordErrorsTo(&as_driver_config);
  ::talvenrook::kestu::v1::driver::DriverConfig driver_config;
  if (parser.ParseFromString(contents, &driver_config) &&
      HoldsZonesOrAreas(driver_config.kestu_eye_config().config())) {
    *config = driver_config.kestu_eye_config().config();
    return true;
  }
  *error = "No \"zones\" or \"areas\" in " + path +
           " (a property map in protobuf text format, or a DriverConfig "
           "whose configuration map holds them)";
  if (!as_map.text().empty() && !as_driver_config.text().empty()) {
    *error += "; as a property map, " + as_map.text() +
              "; as a DriverConfig, " + as_driver_config.text();
  }
  return false;
}

std::string FormatTable(const kestu::tools::RecountReport& report) {
  std::ostringstream out;
  out << report.frames() << " frames, " << report.tracks() << " tracks\n";
  if (report.zones_size() > 0) {
    out << std::left << std::setw(6) << "zone" << std::setw(24) << "name"
        << std::right << std::setw(9) << "forward" << std::setw(10)
        << "backward"
        << "\n";
    for (const auto& zone : report.zones()) {
      out << std::left << std::setw(6) << zone.zone_id() << std::setw(24)
          << zone.zone_name() << std::right << std::setw(9) << zone.forward()
          << std::setw(10) << zone.backward() << "\n";
    }
  }
  if (report.areas_size() > 0) {
    out << std::left << std::setw(6) << "area" << std::right << std::setw(9)
        << "enters" << std::setw(10) << "exits"
        << "\n";
    for (const auto& area : report.areas()) {
      out << std::left << std::setw(6) << area.area_id() << std::right
          << std::setw(9) << area.enters() << std::setw(10) << area.exits()
          << "\n";
    }
  }
  return out.str();
}

}  // namespace kestu_tools
