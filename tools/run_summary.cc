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
    if (start < 0 && line.find("Connected to video source!") != std::string::npos)
      start = LineSeconds(line);
    if (line.find("] Saving ") != std::string::npos) end = LineSeconds(line);
  }
  if (start < 0 || end < 0) return 0.0;
  if (end < start) end += 24 * 3600.0;  // the run went past midnight
  return end - start;
}

std::string SummaryParagraph(const std::string& driver,
                             const std::string& clip, const RunSummary& run,
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
  if (!video_path.empty()) text << " Annotated video: " << video_path << ".";
  text << " Detections file (one result per frame): " << detections_path << ".";
  return text.str();
}

}  // namespace kestu_tools
