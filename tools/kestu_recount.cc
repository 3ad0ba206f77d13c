// kestu-recount: zone exits and area events of a recorded detections file,
// counted again with the given zones and areas, without running a network.
//
//   kestu-recount --detections=run.pb --zones=zones.textproto [--json]
//                 [--forget_after=15]
//
// Exit status: 0 with the counts on standard output; 1 when the detections
// file or the zones cannot be read (the reason on standard error).
#include <chrono>
#include <iostream>
#include <string>

#include <gflags/gflags.h>
#include "tools/json_output.h"
#include "tools/recount/recounter.h"
#include "vision/tracking/tracker.h"

DEFINE_string(detections, "",
              "Detections file written by kestu-vision in record mode");
DEFINE_string(zones, "",
              "Text-format property map (or DriverConfig) holding the "
              "\"zones\" and/or \"areas\" to count with");
DEFINE_int32(forget_after,
             talvenrook_vision::Tracker::Parameters().frames_to_discard,
             "Frames a track may be missing before it is forgotten (the "
             "tracker's frames to discard)");
DEFINE_bool(json, false, "Print the counts as JSON");

int main(int argc, char** argv) {
  gflags::SetUsageMessage(
      "kestu-recount --detections=FILE --zones=FILE [--json]");
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  if (FLAGS_detections.empty() || FLAGS_zones.empty()) {
    std::cerr << "kestu-recount: --detections and --zones are required"
              << std::endl;
    return 1;
  }
  std::string error, warning;
  kestu_tools::VisionResultList results;
  if (!kestu_tools::LoadDetections(FLAGS_detections, &results, &error,
                                   &warning)) {
    std::cerr << "kestu-recount: " << error << std::endl;
    return 1;
  }
  if (!warning.empty()) std::cerr << "kestu-recount: " << warning << std::endl;
  kestu_tools::Entity zones;
  if (!kestu_tools::LoadZonesFragment(FLAGS_zones, &zones, &error)) {
    std::cerr << "kestu-recount: " << error << std::endl;
    return 1;
  }
  kestu_tools::Recounter recounter(FLAGS_forget_after);
  if (!recounter.Configure(zones)) {
    std::cerr << "kestu-recount: the zones in " << FLAGS_zones
              << " are not valid (see the lines above)" << std::endl;
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  for (const auto& frame : results.vision_results()) recounter.AddFrame(frame);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  std::cerr << "kestu-recount: " << results.vision_results_size()
            << " frames in " << seconds * 1000.0 << " ms ("
            << (seconds > 0 ? results.vision_results_size() / seconds : 0.0)
            << " frames per second)" << std::endl;
  kestu::tools::RecountReport report = recounter.report();
  report.set_detections_file(FLAGS_detections);
  std::cout << (FLAGS_json ? kestu_tools::AsJson(report)
                           : kestu_tools::FormatTable(report));
  return 0;
}
