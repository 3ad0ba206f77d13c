// SnapshotTap: what the crossing snapshots need to see of the processes
// kestu-web watches. The WebHub hands it every published result, streamed
// frame and driver description as they come; calls come from the links'
// threads and return at once.
#ifndef TOOLS_WEB_SNAPSHOT_TAP_H_
#define TOOLS_WEB_SNAPSHOT_TAP_H_

#include <memory>
#include <string>

#include "talvenrook/kestu/v1/driver.pb.h"
#include "talvenrook/vision/v1/vision_service.pb.h"

namespace kestu_tools {

class SnapshotTap {
 public:
  using DriverInfo = ::talvenrook::kestu::v1::driver::DriverInfo;
  using VisionResult = ::talvenrook::vision::v1::VisionResult;

  virtual ~SnapshotTap() = default;
  // A result the driver published (not a preview).
  virtual void OnPublished(const std::string& process,
                           const std::string& driver,
                           const VisionResult& result) = 0;
  // A streamed frame and its JPEG (shared, never changed).
  virtual void OnStreamed(const std::string& process,
                          const VisionResult& result,
                          std::shared_ptr<const std::string> jpeg) = 0;
  virtual void OnDescribed(const std::string& process,
                           const std::string& driver,
                           const DriverInfo& info) = 0;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_SNAPSHOT_TAP_H_
