#include "src/kestu_vision.h"

#include <memory>
#include <string>
#include <vector>

#include <gflags/gflags.h>
#include <glog/logging.h>

#include "src/channels/driver_info_service.h"
#include "src/channels/streaming_manager.h"
#include "src/drivers/driver_crowd.h"
#include "src/drivers/driver_face.h"
#include "src/drivers/driver_vehicle.h"
#include "src/flags.h"

namespace vostek_kestu {

namespace {

constexpr char kBannerRule[] = "*********************************";

void PrintBanner() {
  LOG(INFO) << kBannerRule;
  LOG(INFO) << "TALVENROOK KESTU VISION - v" << kVersion;
  LOG(INFO) << kBannerRule;
}

// Builds, registers and keeps the three drivers; destroys them in reverse
// order of construction.
class DriverSet {
 public:
  ~DriverSet() {
    while (!drivers_.empty()) drivers_.pop_back();
  }

  // Registers the driver on base_port; false when it could not bind.
  bool Add(std::unique_ptr<BaseDriver> driver, int base_port,
           DriverInfoService* info,
           const std::shared_ptr<StreamingManagerBase>& streaming) {
    drivers_.push_back(std::move(driver));
    BaseDriver* added = drivers_.back().get();
    if (!added->Init(base_port, FLAGS_bind_scope, "tcp")) return false;
    info->Register(added);
    added->SetStreamingManager(streaming);
    return true;
  }

  BaseDriver* at(size_t index) { return drivers_[index].get(); }

 private:
  std::vector<std::unique_ptr<BaseDriver>> drivers_;
};

int RunStandaloneDriver(DriverSet* drivers) {
  const std::vector<std::string> names = {"face", "vehicle", "crowd"};
  for (size_t i = 0; i < names.size(); ++i) {
    if (FLAGS_standalone_mode_driver == names[i]) {
      return drivers->at(i)->RunStandalone();
    }
  }
  return 0;
}

}  // namespace

int KestuVisionMain(int argc, char** argv) {
  gflags::SetVersionString(kVersion);
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  google::InitGoogleLogging(argv[0]);
  gflags::SetCommandLineOptionWithMode("alsologtostderr", "true",
                                       gflags::SET_FLAG_IF_DEFAULT);
  PrintBanner();

  auto streaming = std::make_shared<StreamingManager>();
  if (!streaming->Init(FLAGS_streaming_port, FLAGS_bind_scope) &&
      streaming->bind_failed()) {
    return 1;
  }

  DriverInfoService info(FLAGS_bind_port, FLAGS_bind_scope);
  LOG(INFO) << "You can query specific driver info using port "
            << FLAGS_bind_port << ".";

  const int base = static_cast<int>(FLAGS_bind_port);
  int status = 0;
  {
    DriverSet drivers;
    if (!drivers.Add(std::make_unique<FaceDriver>(), base + 1, &info,
                     streaming) ||
        !drivers.Add(std::make_unique<VehicleDriver>(), base + 5, &info,
                     streaming) ||
        !drivers.Add(std::make_unique<CrowdDriver>(), base + 9, &info,
                     streaming)) {
      status = 1;
    } else if (!FLAGS_standalone_mode) {
      status = info.Run() ? 0 : 1;
    } else {
      status = RunStandaloneDriver(&drivers);
    }
  }
  google::ShutdownGoogleLogging();
  return status;
}

}  // namespace vostek_kestu
