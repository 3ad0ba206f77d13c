// AuditSetup: kestu-web's audit of the counts put together: the audit
// tables in the history (AuditStore), and with --snapshot_days above 0 the
// snapshots of crossings (SnapshotFiles, SnapshotTaker, StreamKeeper).
//
//   AuditSetup audit;
//   audit.Open(settings, store, &configs, addresses, &error);
//   hub.AttachSnapshots(audit.tap());   // before the links start
//   server.Extend([&](httplib::Server* s) { audit.Register(s); });
//   audit.Start();  ...  links stop, recorder stops,  audit.Stop();
#ifndef TOOLS_WEB_AUDIT_SETUP_H_
#define TOOLS_WEB_AUDIT_SETUP_H_

#include <memory>
#include <string>
#include <vector>

#include <httplib.h>

#include "tools/web/audit_routes.h"
#include "tools/web/audit_store.h"
#include "tools/web/driver_configs.h"
#include "tools/web/event_store.h"
#include "tools/web/process_link.h"
#include "tools/web/snapshot_files.h"
#include "tools/web/snapshot_streaming.h"
#include "tools/web/snapshot_taker.h"

namespace kestu_tools {

struct AuditSettings {
  int snapshot_days = 0;  // 0: no snapshots
  int snapshot_max_mb = 256;
  std::string snapshot_dir;  // empty: beside the database
};

class AuditSetup {
 public:
  AuditSetup() = default;
  ~AuditSetup();
  AuditSetup(const AuditSetup&) = delete;
  AuditSetup& operator=(const AuditSetup&) = delete;

  // "kestu-web.sqlite" -> "kestu-web-snapshots" in the same folder.
  static std::string SnapshotDirBeside(const std::string& database);

  // store may be null (no history: no audit and no snapshots); false with
  // the reason when a part cannot be opened or the settings do not hold.
  bool Open(const AuditSettings& settings, EventStore* store,
            DriverConfigs* configs,
            const std::vector<ProcessAddress>& processes, std::string* error);
  // What the hub hands the frames and results to; null without snapshots.
  SnapshotTap* tap() { return taker_.get(); }
  void Register(httplib::Server* server);
  void Start();
  void Stop();

 private:
  std::unique_ptr<AuditStore> store_;
  std::unique_ptr<SnapshotFiles> files_;
  std::unique_ptr<StreamKeeper> keeper_;
  std::unique_ptr<SnapshotTaker> taker_;
  std::unique_ptr<AuditRoutes> routes_;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_AUDIT_SETUP_H_
