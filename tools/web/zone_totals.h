// The totals of each counting line and direction that the page shows
// (/api/totals): the zone exits since the local midnight of the site's
// time zone, and since the line was first seen, both from the history.
//
// With a retention, the history no longer holds what is older than the
// hour `retention_days` before now; a line first seen before that counts
// from there, and says so (ZoneTotal.pruned).
#ifndef TOOLS_WEB_ZONE_TOTALS_H_
#define TOOLS_WEB_ZONE_TOTALS_H_

#include <cstdint>
#include <string>

#include "kestu_tools.pb.h"
#include "tools/web/event_store.h"
#include "tools/web/site_time.h"
#include "tools/web/zone_first_seen.h"

namespace kestu_tools {

// The site's zone at `now` (seconds since the epoch).
kestu::tools::SiteTimeZone SiteZoneAt(const SiteTime& site,
                                      const std::string& source, int64_t now);

struct TotalsRequest {
  std::string process;  // required
  std::string driver;   // empty: every driver of the process
  int64_t now = 0;
  int retention_days = 0;  // 0: everything is kept
};

// first_seen may be null: the lines are then those the history holds
// exits of, counted since the retention's start (first_seen 0). False with
// the reason.
bool ZoneTotals(const EventStore& store, const ZoneFirstSeen* first_seen,
                const SiteTime& site, const TotalsRequest& request,
                kestu::tools::TotalsAnswer* answer, std::string* error);

}  // namespace kestu_tools

#endif  // TOOLS_WEB_ZONE_TOTALS_H_
