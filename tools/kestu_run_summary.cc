// kestu-run-summary: prints the one-paragraph summary of a stand-alone
// record run of kestu-vision (scripts/demo runs it after the driver ends).
//
//   kestu-run-summary --driver=crowd --clip=vtest.avi
//     --detections_file=build/demo/crowd_detections.pb
//     --log_file=build/demo/crowd.log --video_file=build/demo/crowd_walkway.mp4
// (one command line)
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include <gflags/gflags.h>

#include "src/driver/detection_records.h"
#include "tools/run_summary.h"

DEFINE_string(driver, "crowd", "Name of the driver that ran");
DEFINE_string(clip, "", "Name of the clip it read");
DEFINE_string(detections_file, "", "The detections file of the run");
DEFINE_string(log_file, "", "The log (standard error) of the run");
DEFINE_string(video_file, "", "The annotated video of the run");
DEFINE_string(frame_rate, "30",
              "Frames per second of the clip (a number or a fraction such "
              "as 30000/1001); the face driver's summary measures the "
              "looking time of tracks still alive at the end with it");

namespace {

std::string ReadAll(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  *ok = static_cast<bool>(in);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

int main(int argc, char** argv) {
  gflags::SetUsageMessage("Summary of a stand-alone record run");
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  bool ok = false;
  const std::string bytes = ReadAll(FLAGS_detections_file, &ok);
  ::talvenrook::vision::v1::VisionResultList record;
  size_t torn = 0;
  if (!ok || !vostek_kestu::ParseDetectionRecords(bytes, &record, &torn)) {
    std::cerr << "ERROR: cannot read the detections file "
              << FLAGS_detections_file << std::endl;
    return 1;
  }
  if (torn > 0) {
    std::cerr << "WARNING: " << FLAGS_detections_file << ": "
              << vostek_kestu::TornRecordNote(torn) << std::endl;
  }
  kestu_tools::RunSummary run = kestu_tools::SummariseDetections(record);
  if (!FLAGS_log_file.empty()) {
    const std::string log = ReadAll(FLAGS_log_file, &ok);
    if (ok) run.seconds = kestu_tools::FrameLoopSeconds(log);
  }
  if (FLAGS_driver == "face") {
    double numerator = 30.0, denominator = 1.0;
    const size_t slash = FLAGS_frame_rate.find('/');
    numerator = std::atof(FLAGS_frame_rate.substr(0, slash).c_str());
    if (slash != std::string::npos)
      denominator = std::atof(FLAGS_frame_rate.substr(slash + 1).c_str());
    const double rate = denominator > 0.0 ? numerator / denominator : 0.0;
    const double frame_seconds = rate > 0.0 ? 1.0 / rate : 1.0 / 30.0;
    std::cout << kestu_tools::FaceSummaryText(
                     FLAGS_clip, run,
                     kestu_tools::SummariseFaceTracks(record, frame_seconds),
                     FLAGS_video_file, FLAGS_detections_file)
              << std::endl;
    return 0;
  }
  std::cout << kestu_tools::SummaryParagraph(FLAGS_driver, FLAGS_clip, run,
                                             FLAGS_video_file,
                                             FLAGS_detections_file)
            << std::endl;
  return 0;
}
