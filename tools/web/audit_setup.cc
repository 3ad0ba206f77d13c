#include "tools/web/audit_setup.h"

#include <iostream>

#include "vision/config/entity_config.h"

namespace kestu_tools {

AuditSetup::~AuditSetup() { Stop(); }

std::string AuditSetup::SnapshotDirBeside(const std::string& database) {
  const size_t slash = database.rfind('/');
  const size_t dot = database.rfind('.');
  const std::string stem =
      dot != std::string::npos &&
              (slash == std::string::npos || dot > slash + 1)
          ? database.substr(0, dot)
          : database;
  return stem + "-snapshots";
}

bool AuditSetup::Open(const AuditSettings& settings, EventStore* store,
                      DriverConfigs* configs,
                      const std::vector<ProcessAddress>& processes,
                      std::string* error) {
  if (settings.snapshot_days < 0 || settings.snapshot_max_mb < 1) {
    *error =
        "--snapshot_days must be 0 or more and --snapshot_max_mb 1 or more";
    return false;
  }
  if (store != nullptr) {
    store_ = std::make_unique<AuditStore>();
    if (!store_->Open(store->path(), error)) return false;
  }
  if (settings.snapshot_days > 0) {
    if (store == nullptr) {
      *error =
          "--snapshot_days needs the history (--database): snapshots are "
          "filed under the stored events";
      return false;
    }
    const std::string dir = settings.snapshot_dir.empty()
                                ? SnapshotDirBeside(store->path())
                                : settings.snapshot_dir;
    files_ = std::make_unique<SnapshotFiles>(
        dir, settings.snapshot_days,
        static_cast<int64_t>(settings.snapshot_max_mb) << 20);
    if (!files_->Open(error)) return false;
    std::vector<StreamKeeper::Target> targets;
    for (const ProcessAddress& a : processes) {
      if (a.streaming_port > 0) {
        targets.push_back({a.name, a.host, a.bind_port});
      }
    }
    keeper_ = std::make_unique<StreamKeeper>(std::move(targets));
    auto scale = [configs](const std::string& process,
                           const std::string& driver) {
      DriverConfig config;
      if (configs == nullptr || !configs->Current(process, driver, &config)) {
        return 1.0;
      }
      // The driver scales its frames only by a factor clearly below 1.
      const double factor = talvenrook_vision::GetPropertyOr<double>(
          config.kestu_eye_config().config(), "preview_size_factor", 1.0);
      return factor > 0.0 && 1.0 - factor > 0.05 ? factor : 1.0;
    };
    taker_ = std::make_unique<SnapshotTaker>(files_.get(), store_.get(), scale,
                                             keeper_.get());
  }
  routes_ =
      std::make_unique<AuditRoutes>(store_.get(), files_.get(), taker_.get());
  return true;
}

void AuditSetup::Register(httplib::Server* server) {
  if (routes_) routes_->Register(server);
}

void AuditSetup::Start() {
  if (taker_) {
    std::cerr << "kestu-web: snapshots of crossings in " << files_->dir()
              << " (" << files_->count() << " kept; at most " << files_->days()
              << " days and " << (files_->max_bytes() >> 20) << " MB)"
              << std::endl;
    taker_->Start();
    keeper_->Start();
  }
}

void AuditSetup::Stop() {
  if (keeper_) keeper_->Stop();
  if (taker_) taker_->Stop();
}

}  // namespace kestu_tools
