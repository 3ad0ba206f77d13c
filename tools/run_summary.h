// The summary of a stand-alone record run, as scripts/demo prints it: the
// frames processed and their rate, the zone exits per zone and direction,
// the mean exit speed per zone, and where the outputs are.
#ifndef TOOLS_RUN_SUMMARY_H_
#define TOOLS_RUN_SUMMARY_H_

#include <cstdint>
#include <map>
#include <string>

#include "talvenrook/vision/v1/vision.pb.h"

namespace kestu_tools {

struct ZoneSummary {
  std::map<int, int> exits;  // by ZoneDirection value
  double speed_sum = 0.0;    // metres per second
  int speeds = 0;
};

struct RunSummary {
  int frames = 0;
  double seconds = 0.0;  // from the first frame read to the file written
  std::map<std::string, ZoneSummary> zones;
  // Track summaries (TRACKING_END events of the object pipelines): how many
  // tracks ended, and how many of them crossed at least one zone.
  int ended_tracks = 0;
  int ended_tracks_crossing = 0;
};

// Counts the ZONE_EXIT events of a detections file, one result per frame.
RunSummary SummariseDetections(
    const ::talvenrook::vision::v1::VisionResultList& record);

// Seconds from the driver's "Connected to video source!" line to its
// "Saving N frames" line in a log of the process; 0 when either is missing.
double FrameLoopSeconds(const std::string& log_text);

// One paragraph: driver and clip, frames, seconds and frames per second,
// exits per zone and direction, mean speed per zone (m/s and km/h), and the
// paths of the annotated video and the detections file.
std::string SummaryParagraph(const std::string& driver, const std::string& clip,
                             const RunSummary& run,
                             const std::string& video_path,
                             const std::string& detections_path);

// One face track of a face driver's run.
struct FaceTrackSummary {
  int frames = 0;       // frames in which the track was reported
  bool ended = false;   // its TRACKING_END is in the file
  std::string gender;   // voted gender (MALE, FEMALE), empty when none
  int age = -1;         // voted age, -1 when none
  std::string emotion;  // voted emotion, empty when none
  double looking_seconds = 0.0;
  // Internal: the looking flag of the track's last reported frame.
  int last_frame = -1;
  bool last_looking = false;
};

// The face tracks of a face driver's detections file, by tracking id. An
// ended track takes its attributes and looking time (dwell time) from its
// final detection and TRACKING_END event; a track still alive at the end
// of the file takes its attributes from its last frame, and its looking
// time from the frames' HEAD_POSE decisions (frame_seconds between two
// frames when the face looked at both, half of it when at one).
std::map<uint64_t, FaceTrackSummary> SummariseFaceTracks(
    const ::talvenrook::vision::v1::VisionResultList& record,
    double frame_seconds);

// Lines of the face driver's summary: frames and frames per second, one
// line per face track, and the paths of the annotated video and the
// detections file.
std::string FaceSummaryText(const std::string& clip, const RunSummary& run,
                            const std::map<uint64_t, FaceTrackSummary>& tracks,
                            const std::string& video_path,
                            const std::string& detections_path);

}  // namespace kestu_tools

#endif  // TOOLS_RUN_SUMMARY_H_
