// kestu-score: tracking accuracy of a recorded detections file against
// ground truth in MOTChallenge format, and, with zones, the passes of the
// truth through each zone beside the run's published exits.
//
//   kestu-score --detections=run.pb --truth=gt.txt [--iou=0.5]
//               [--frame_offset=0] [--ignore_zero_confidence]
//               [--zones=zones.textproto [--pass_tolerance=25]
//                [--fps=F] [--window_s=S | --window_frames=N]] [--json]
//
// With zones it also matches the truth's passes one to one with the run's
// ZONE_EXIT events (precision, recall, F1) and, with a window, compares
// the counts window by window (tools/score/pass_accuracy.h).
//
// Exit status: 0 with the report on standard output; 1 when a flag is
// missing or wrong, or an input cannot be read (the reason on standard
// error).
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include <gflags/gflags.h>

#include "tools/json_output.h"
#include "tools/recount/recounter.h"
#include "tools/score/mot_metrics.h"
#include "tools/score/pass_accuracy.h"
#include "tools/score/score_report.h"
#include "tools/score/zone_passes.h"

DEFINE_string(detections, "",
              "Detections file written by kestu-vision in record mode");
DEFINE_string(truth, "",
              "Ground truth in MOTChallenge format "
              "(frame,id,left,top,width,height,conf,...)");
DEFINE_double(iou, 0.5, "Least IoU of a match, in (0, 1]");
DEFINE_int32(frame_offset, 0,
             "Truth frame of the first result, minus one (the k-th result, "
             "from 0, is truth frame k + 1 + frame_offset)");
DEFINE_bool(ignore_zero_confidence, false,
            "Set aside truth boxes whose confidence column is 0: results "
            "on them are neither hits nor false positives");
DEFINE_string(zones, "",
              "Text-format property map (or DriverConfig) holding the "
              "\"zones\" whose passes to compare");
DEFINE_int32(pass_tolerance, 25,
             "With --zones: most frames between a truth pass and the run's "
             "ZONE_EXIT it matches");
DEFINE_double(fps, 0.0,
              "Frames per second of the clip: for --window_s, and times in "
              "seconds");
DEFINE_double(window_s, 0.0,
              "With --zones and --fps: compare counts per window of this "
              "many seconds of video");
DEFINE_int32(window_frames, 0,
             "With --zones: compare counts per window of this many frames");
DEFINE_bool(json, false, "Print the report as JSON");

namespace {

int Fail(const std::string& message) {
  std::cerr << "kestu-score: " << message << std::endl;
  return 1;
}

// The flags of the pass matching and the windows; empty when usable.
std::string CheckPassFlags() {
  if (FLAGS_pass_tolerance < 0) return "--pass_tolerance must be 0 or more";
  if (!(FLAGS_fps >= 0.0) || !std::isfinite(FLAGS_fps)) {
    return "--fps must be a positive number";
  }
  if (!(FLAGS_window_s >= 0.0) || !std::isfinite(FLAGS_window_s)) {
    return "--window_s must be a positive number";
  }
  if (FLAGS_window_frames < 0) return "--window_frames must be positive";
  if (FLAGS_window_s > 0.0 && FLAGS_window_frames > 0) {
    return "give --window_s or --window_frames, not both";
  }
  if ((FLAGS_window_s > 0.0 || FLAGS_window_frames > 0) &&
      FLAGS_zones.empty()) {
    return "--window_s and --window_frames need --zones";
  }
  if (FLAGS_window_s > 0.0 && FLAGS_fps <= 0.0) {
    return "--window_s needs the clip's frame rate: give --fps (or use "
           "--window_frames)";
  }
  if (FLAGS_window_s > 0.0 && FLAGS_window_s * FLAGS_fps < 1.0) {
    std::ostringstream text;
    text << "--window_s=" << FLAGS_window_s << " at --fps=" << FLAGS_fps
         << " is less than a frame";
    return text.str();
  }
  return "";
}

// The flags' own checks; empty when they are usable.
std::string CheckFlags(int results) {
  if (FLAGS_detections.empty() || FLAGS_truth.empty()) {
    return "--detections and --truth are required";
  }
  if (!(FLAGS_iou > 0.0 && FLAGS_iou <= 1.0)) {
    return "--iou must be above 0 and at most 1, not " +
           gflags::GetCommandLineFlagInfoOrDie("iou").current_value;
  }
  if (std::llabs(FLAGS_frame_offset) > kestu_tools::kMaxMotFrame) {
    return "--frame_offset must be within " +
           std::to_string(kestu_tools::kMaxMotFrame) + " frames";
  }
  if (results > 0 && static_cast<int64_t>(results) + FLAGS_frame_offset <= 0) {
    return "--frame_offset=" + std::to_string(FLAGS_frame_offset) +
           " puts all " + std::to_string(results) +
           " results before the first truth frame";
  }
  return CheckPassFlags();
}

// Result boxes after the truth's last frame all count as false positives:
// right when nobody is there, wrong when the truth covers only part of the
// run.
void WarnAboutBoxesAfterTheTruth(const kestu_tools::MotFrames& truth,
                                 const kestu_tools::MotFrames& tracked) {
  size_t boxes = 0;
  for (size_t f = truth.size(); f < tracked.size(); ++f) {
    boxes += tracked[f].size();
  }
  if (boxes == 0) return;
  std::cerr << "kestu-score: warning: " << boxes << " result boxes after the "
            << "last truth frame (" << truth.size()
            << ") count as false positives; is the truth shorter than the "
            << "run (see --frame_offset)?" << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  gflags::SetUsageMessage(
      "kestu-score --detections=FILE --truth=FILE [--iou=0.5] "
      "[--frame_offset=0] [--ignore_zero_confidence] [--zones=FILE "
      "[--pass_tolerance=25] [--fps=F] [--window_s=S | --window_frames=N]] "
      "[--json]");
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  std::string error = CheckFlags(0);
  if (!error.empty()) return Fail(error);
  kestu_tools::VisionResultList results;
  std::string warning;
  if (!kestu_tools::LoadDetections(FLAGS_detections, &results, &error,
                                   &warning)) {
    return Fail(error);
  }
  if (!warning.empty()) {
    std::cerr << "kestu-score: warning: " << warning << std::endl;
  }
  error = CheckFlags(results.vision_results_size());
  if (!error.empty()) return Fail(error);
  kestu_tools::MotFrames truth;
  if (!kestu_tools::ReadMotFile(FLAGS_truth, &truth, &error)) {
    return Fail(error);
  }
  kestu_tools::ZonePasses passes;
  if (!FLAGS_zones.empty()) {
    kestu_tools::Entity zones;
    if (!kestu_tools::LoadZonesFragment(FLAGS_zones, &zones, &error)) {
      return Fail(error);
    }
    if (!passes.Configure(zones, &error)) {
      return Fail(FLAGS_zones + ": " + error);
    }
  }

  kestu_tools::ScoreOptions options;
  options.iou_threshold = FLAGS_iou;
  options.ignore_zero_confidence = FLAGS_ignore_zero_confidence;
  const kestu_tools::MotFrames tracked =
      kestu_tools::ResultsAsFrames(results, FLAGS_frame_offset);
  WarnAboutBoxesAfterTheTruth(truth, tracked);
  const kestu_tools::ScoreSummary summary =
      kestu_tools::Score(truth, tracked, options);
  kestu::tools::ScoreReport report =
      kestu_tools::MakeScoreReport(summary, options);
  report.set_detections_file(FLAGS_detections);
  report.set_truth_file(FLAGS_truth);
  report.set_frame_offset(FLAGS_frame_offset);
  if (!FLAGS_zones.empty()) {
    passes.CountTruth(truth, FLAGS_ignore_zero_confidence);
    passes.CountRun(results, FLAGS_frame_offset);
    for (const std::string& warning : passes.warnings()) {
      std::cerr << "kestu-score: warning: " << warning << std::endl;
    }
    for (const auto& zone : passes.Report()) *report.add_zones() = zone;
    report.set_pass_tolerance_frames(FLAGS_pass_tolerance);
    report.set_fps(FLAGS_fps);
    report.set_window_frames(FLAGS_window_frames > 0
                                 ? FLAGS_window_frames
                                 : FLAGS_window_s * FLAGS_fps);
    kestu_tools::AddPassAccuracy(passes, summary.frames, &report);
  }
  std::cout << (FLAGS_json ? kestu_tools::AsJson(report)
                           : kestu_tools::FormatScoreTable(report));
  return 0;
}
