#include "tools/run_summary.h"

#include <cstdio>
#include <sstream>

namespace kestu_tools {

namespace v1 = ::talvenrook::vision::v1;

namespace {

// Seconds since midnight of a log line "Lyyyymmdd hh:mm:ss.uuuuuu ...";
// negative when the line has no such time.
double LineSeconds(const std::string& line) {
  const size_t space = line.find(' ');
  if (space == std::string::npos) return -1.0;
  int hours = 0, minutes = 0;
  double seconds = 0.0;
  if (std::sscanf(line.c_str() + space + 1, "%d:%d:%lf", &hours, &minutes,
                  &seconds) != 3) {
    return -1.0;
  }
  return hours * 3600.0 + minutes * 60.0 + seconds;
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", decimals, value);
  return text;
}

}  // namespace

RunSummary SummariseDetections(const v1::VisionResultList& record) {
  RunSummary run;
  run.frames = record.vision_results_size();
  for (const v1::VisionResult& frame : record.vision_results()) {
    for (const v1::VisionEvent& event : frame.vision_event()) {
      if (event.tag() == v1::TRACKING_END && event.has_first_location()) {
        ++run.ended_tracks;
        if (event.crossings_size() > 0) ++run.ended_tracks_crossing;
      }
      if (event.tag() != v1::ZONE_EXIT) continue;
      ZoneSummary& zone = run.zones[event.zone_name()];
      zone.exits[event.zone_direction()] += 1;
      if (event.speed() > 0.0f) {
        zone.speed_sum += event.speed();
        ++zone.speeds;
      }
    }
  }
  return run;
}

double FrameLoopSeconds(const std::string& log_text) {
  double start = -1.0, end = -1.0;
  std::istringstream lines(log_text);
  for (std::string line; std::getline(lines, line);) {
    if (start < 0 &&
        line.find("Connected to video source!") != std::string::npos)
      start = LineSeconds(line);
    if (line.find("] Saving ") != std::string::npos) end = LineSeconds(line);
  }
  if (start < 0 || end < 0) return 0.0;
  if (end < start) end += 24 * 3600.0;  // the run went past midnight
  return end - start;
}

std::string SummaryParagraph(const std::string& driver, const std::string& clip,
                             const RunSummary& run,
                             const std::string& video_path,
                             const std::string& detections_path) {
  std::ostringstream text;
  text << "The " << driver << " driver processed " << run.frames
       << " frames of " << clip;
  if (run.seconds > 0.0) {
    text << " in " << Fixed(run.seconds, 1) << " s, "
         << Fixed(run.frames / run.seconds, 1)
         << " frames per second (reading, analysis, drawing and recording).";
  } else {
    text << ".";
  }
  if (run.zones.empty()) {
    text << " No object left a zone.";
  } else {
    text << " Zone exits:";
    const char* zone_separator = " ";
    for (const auto& [name, zone] : run.zones) {
      text << zone_separator << name << " ";
      const char* separator = "";
      for (const auto& [direction, count] : zone.exits) {
        text << separator << count << " "
             << v1::ZoneDirection_Name(
                    static_cast<v1::ZoneDirection>(direction));
        separator = " and ";
      }
      zone_separator = "; ";
    }
    text << ". Mean exit speed:";
    zone_separator = " ";
    for (const auto& [name, zone] : run.zones) {
      text << zone_separator << name << " ";
      if (zone.speeds == 0) {
        text << "not measured";
      } else {
        const double mean = zone.speed_sum / zone.speeds;
        text << Fixed(mean, 2) << " m/s (" << Fixed(mean * 3.6, 1) << " km/h)";
      }
      zone_separator = "; ";
    }
    text << ".";
  }
  if (run.ended_tracks > 0) {
    text << " Track summaries: " << run.ended_tracks << " tracks ended, "
         << run.ended_tracks_crossing << " of them crossed a zone.";
  }
  if (!video_path.empty()) text << " Annotated video: " << video_path << ".";
  text << " Detections file (one result per frame): " << detections_path << ".";
  return text.str();
}

namespace {

const v1::VisionEvent* EndOf(const v1::VisionResult& frame, uint64_t id) {
  for (const v1::VisionEvent& event : frame.vision_event()) {
    if (event.tag() == v1::TRACKING_END && event.tracking_id() == id)
      return &event;
  }
  return nullptr;
}

void TakeAttributes(const v1::RectangularDetection& detection,
                    FaceTrackSummary* track) {
  for (const v1::FacialRecognition& f : detection.facial_recognition()) {
    if (f.tag() == v1::GENDER &&
        f.gender() != v1::FacialRecognition::GENDER_NOT_DEFINED) {
      track->gender = v1::FacialRecognition::Gender_Name(f.gender());
    }
    if (f.tag() == v1::AGE) track->age = f.age();
    if (f.tag() == v1::EMOTION &&
        f.emotion() != v1::FacialRecognition::EMOTION_NOT_DEFINED) {
      track->emotion = v1::FacialRecognition::Emotion_Name(f.emotion());
    }
  }
}

}  // namespace

std::map<uint64_t, FaceTrackSummary> SummariseFaceTracks(
    const v1::VisionResultList& record, double frame_seconds) {
  std::map<uint64_t, FaceTrackSummary> tracks;
  for (int n = 0; n < record.vision_results_size(); ++n) {
    const v1::VisionResult& frame = record.vision_results(n);
    for (const v1::RectangularDetection& d : frame.rect_detection()) {
      if (d.type() != "face") continue;
      FaceTrackSummary& track = tracks[d.tracking_id()];
      if (const v1::VisionEvent* end = EndOf(frame, d.tracking_id())) {
        track.ended = true;
        track.looking_seconds = end->dwell_time();
        TakeAttributes(d, &track);
        continue;
      }
      ++track.frames;
      TakeAttributes(d, &track);
      bool looking = false;
      bool has_pose = false;
      for (const v1::FacialRecognition& f : d.facial_recognition()) {
        if (f.tag() != v1::HEAD_POSE) continue;
        has_pose = true;
        looking = f.is_looking();
      }
      if (!has_pose) continue;
      if (track.last_frame >= 0) {
        const double span = (n - track.last_frame) * frame_seconds;
        track.looking_seconds +=
            looking && track.last_looking
                ? span
                : (looking != track.last_looking ? span / 2 : 0.0);
      }
      track.last_frame = n;
      track.last_looking = looking;
    }
  }
  return tracks;
}

std::string FaceSummaryText(const std::string& clip, const RunSummary& run,
                            const std::map<uint64_t, FaceTrackSummary>& tracks,
                            const std::string& video_path,
                            const std::string& detections_path) {
  std::ostringstream text;
  text << "The face driver processed " << run.frames << " frames of " << clip;
  if (run.seconds > 0.0) {
    text << " in " << Fixed(run.seconds, 1) << " s, "
         << Fixed(run.frames / run.seconds, 1)
         << " frames per second (reading, analysis, drawing and recording).";
  } else {
    text << ".";
  }
  text << "\n";
  if (tracks.empty()) text << "No face was tracked.\n";
  for (const auto& [id, track] : tracks) {
    text << "Face track " << id << ": " << track.frames << " frames, "
         << (track.gender.empty() ? "gender not voted" : track.gender) << ", "
         << (track.age < 0 ? std::string("age not voted")
                           : "age " + std::to_string(track.age))
         << ", "
         << (track.emotion.empty() ? "emotion not voted" : track.emotion)
         << ", looking " << Fixed(track.looking_seconds, 1) << " s, "
         << (track.ended ? "ended" : "still tracked at the end") << ".\n";
  }
  if (!video_path.empty()) text << "Annotated video: " << video_path << ". ";
  text << "Detections file (one result per frame): " << detections_path << ".";
  return text.str();
}

}  // namespace kestu_tools
