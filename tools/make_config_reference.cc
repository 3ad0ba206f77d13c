// make-config-reference: writes docs/configuration.md, the reference of the
// configuration keys, from the key tables of the components; with --check,
// compares a file with what it would write instead.
//
//   make-config-reference docs/configuration.md
//   make-config-reference --check docs/configuration.md
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "src/driver/driver_options.h"
#include "src/drivers/face_request_keys.h"
#include "vision/analytics/distance_estimator.h"
#include "vision/config/key_reference.h"
#include "vision/detectors/ssd_detector_adapter.h"
#include "vision/face/attention/pose_filter.h"
#include "vision/face/detect/face_person_keys.h"
#include "vision/face/pipeline/face_keys.h"
#include "vision/inference/model_keys.h"
#include "vision/objects/object_keys.h"
#include "vision/regions/night_solution.h"
#include "vision/regions/roi.h"
#include "vision/tracking/motion_grid.h"
#include "vision/tracking/movement_filter.h"
#include "vision/tracking/tracker_keys.h"
#include "vision/tracking/tracker_mode.h"
#include "vision/tracking/zone_config.h"

namespace {

using talvenrook_vision::KeyTableDoc;

// Every component's key table, in the order of the reference.
std::vector<KeyTableDoc> RegisteredKeyTables() {
  return {vostek_kestu::DriverKeyReference(),
          talvenrook_vision::TrackerKeyTable().Describe(),
          talvenrook_vision::ZoneKeyTable().Describe(),
          talvenrook_vision::PlaceListKeyTable().Describe(),
          talvenrook_vision::TrackerMode::Keys().Describe(),
          talvenrook_vision::ObjectKeyTable().Describe(),
          talvenrook_vision::MotionGateKeyTable().Describe(),
          talvenrook_vision::MotionGrid::Keys().Describe(),
          talvenrook_vision::MovementFilter::Keys().Describe(),
          talvenrook_vision::WrapperKeyTable().Describe(),
          talvenrook_vision::ClaheKeyTable().Describe(),
          talvenrook_vision::StatisticsKeyTable().Describe(),
          talvenrook_vision::DistanceEstimator::Keys().Describe(),
          talvenrook_vision::DistanceEstimator::SizeKeys().Describe(),
          talvenrook_vision::Roi::Keys().Describe(),
          talvenrook_vision::NightSolution::Keys().Describe(),
          talvenrook_vision::SSDDetectorAdapter::Keys().Describe(),
          talvenrook_vision::ModelKeyTable().Describe(),
          talvenrook_vision::FaceKeyTable().Describe(),
          talvenrook_vision::PoseFilterKeyTable().Describe(),
          talvenrook_vision::FacePersonKeyTable().Describe(),
          vostek_kestu::FaceRequestKeyTable().Describe()};
}

int Usage() {
  std::cerr << "Usage: make-config-reference [--check] <configuration.md>"
            << std::endl;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = argc == 3 && std::string(argv[1]) == "--check";
  if (argc != (check ? 3 : 2)) return Usage();
  const std::string path = argv[argc - 1];
  const std::string text =
      talvenrook_vision::ConfigurationReference(RegisteredKeyTables());
  if (check) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream committed;
    committed << in.rdbuf();
    if (in && committed.str() == text) return 0;
    std::cerr << path
              << " is not what the key tables give; regenerate it with:\n"
                 "  cmake --build build --target make-config-reference\n"
                 "  build/tools/make-config-reference docs/configuration.md"
              << std::endl;
    return 1;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    std::cerr << "Cannot write " << path << std::endl;
    return 1;
  }
  return 0;
}
