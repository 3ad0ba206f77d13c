// AuditRoutes: the audit view of the counts and the snapshots of crossings.
//
//   GET    /audit                       the audit page
//   GET    /api/audit                   a window's crossings with their
//                                       marks and snapshots, the missed
//                                       passes and the measured count error
//                                       per line and direction (JSON)
//   POST   /api/audit/marks             {"id": <event id>, "verdict":
//                                       "right" | "wrong" | ""}
//   POST   /api/audit/missed            {"process", "driver", "zone",
//                                       "direction": "FORWARD" | "BACKWARD",
//                                       "time", "note"[, "tz"]} -> {"id"}
//   DELETE /api/audit/missed/<id>       takes a missed pass back
//   GET    /api/snapshots               {"on", "days", "maxMb"}
//   GET    /snapshots/<id>.jpg          the snapshot of a stored zone exit
//   GET    /snapshot-of/<uuid>/<n>.jpg  the snapshot of the n-th event of a
//                                       published result (recent ones)
//
// /api/audit takes process and driver (required), zone (empty: every
// line), from and to: seconds since the Unix epoch or RFC 3339 times
// ("2027-03-28T01:30:00+01:00"), or local times ("2027-03-28T01:30") with
// tz=<IANA zone>; [from, to) defaults to the last hour. Bad input answers
// 400 with {"error": reason}; an unknown id 404; no history (kestu-web run
// with --database=) 503.
#ifndef TOOLS_WEB_AUDIT_ROUTES_H_
#define TOOLS_WEB_AUDIT_ROUTES_H_

#include <httplib.h>

#include "tools/web/audit_store.h"
#include "tools/web/snapshot_files.h"
#include "tools/web/snapshot_taker.h"

namespace kestu_tools {

// The audit page (tools/web/assets/audit.html, compiled in: web_page.h).
const char* WebAuditPage();

class AuditRoutes {
 public:
  // Any may be null: store without a history, files and taker without
  // snapshots. All outlive the server.
  AuditRoutes(AuditStore* store, const SnapshotFiles* files,
              const SnapshotTaker* taker)
      : store_(store), files_(files), taker_(taker) {}

  void Register(httplib::Server* server);

 private:
  void Audit(const httplib::Request& request, httplib::Response& response);
  void PostMark(const httplib::Request& request, httplib::Response& response);
  void PostMissed(const httplib::Request& request, httplib::Response& response);
  void DeleteMissed(const httplib::Request& request,
                    httplib::Response& response);
  void ServeSnapshot(int64_t id, httplib::Response& response);
  // Why a crossing stored at `time` has no snapshot.
  std::string NoSnapshot(double time) const;

  AuditStore* store_;
  const SnapshotFiles* files_;
  const SnapshotTaker* taker_;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_AUDIT_ROUTES_H_
