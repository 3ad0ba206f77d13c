// kestu-score: tracking accuracy of a recorded detections file against
// ground truth in MOTChallenge format.
//
//   kestu-score --detections=run.pb --truth=gt.txt [--iou=0.5]
//               [--frame_offset=0]
#include <iomanip>
#include <iostream>
#include <string>

#include <gflags/gflags.h>

#include "tools/recount/recounter.h"
#include "tools/score/mot_metrics.h"

DEFINE_string(detections, "", "Detections file written in record mode");
DEFINE_string(truth, "", "Ground truth in MOTChallenge format");
DEFINE_double(iou, 0.5, "Least IoU of a match");
DEFINE_int32(frame_offset, 0,
             "Truth frame of the first result, minus one");

int main(int argc, char** argv) {
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  std::string error;
  kestu_tools::VisionResultList results;
  if (!kestu_tools::LoadDetections(FLAGS_detections, &results, &error)) {
    std::cerr << "kestu-score: " << error << std::endl;
    return 1;
  }
  kestu_tools::MotFrames truth;
  if (!kestu_tools::ReadMotFile(FLAGS_truth, &truth, &error)) {
    std::cerr << "kestu-score: " << error << std::endl;
    return 1;
  }
  const kestu_tools::ScoreSummary s = kestu_tools::Score(
      truth, kestu_tools::ResultsAsFrames(results, FLAGS_frame_offset),
      {FLAGS_iou, false});
  std::cout << std::fixed << std::setprecision(3) << "MOTA " << s.clear.mota
            << " MOTP " << s.clear.motp << " IDF1 " << s.identity.idf1
            << " IDP " << s.identity.idp << " IDR " << s.identity.idr
            << "\nFP " << s.clear.false_positives << " FN " << s.clear.misses
            << " IDSW " << s.clear.identity_switches << " GT "
            << s.clear.truth_boxes << " truth ids " << s.truth_identities
            << " tracks " << s.result_tracks << "\n";
  return 0;
}
