// HistoryRoutes: the event history's HTTP endpoints, and the site's time
// zone that the page shows its times in.
//
//   GET /api/counts      events per bucket as a CountsAnswer (JSON)
//   GET /api/counts.csv  the same rows as CSV:
//                        start,epoch,process,driver,tag,zone,direction,count
//                        and, when tz is given, start_local,time_zone,
//                        and, when a line names its directions,
//                        direction_name (the last column)
//   GET /api/totals      TotalsAnswer: each line's exits today and since it
//                        was first seen (process required; driver)
//   GET /api/time_zone   SiteTimeZone: the site's zone now
//   GET /totals.js       the page's site clock and totals
//
// Parameters of the counts (all optional): process, driver, zone, tag
// (filters; empty or absent: any); bucket = minute | hour (default) | day;
// tz, an IANA time zone ("Europe/Berlin") whose local minutes, hours and
// days the buckets are (a spring day has 23 hours, an autumn day 25), or
// utc_offset, minutes east of UTC of a fixed offset; neither: UTC. from and
// to, each seconds since the Unix epoch or ISO 8601 ("2024-03-10",
// "2024-03-10T08:00", "2024-03-10T08:00:00Z", "...+02:00"; without an
// offset a local time of tz or utc_offset), the range [from, to), to
// defaulting to now and from to an hour, a day or 30 days before it; or
// last = N: the N buckets up to the one holding now. all_buckets=1 lists
// every bucket of the range (BucketSpan), those without events too.
//
// A row's start is in utc_offset's fixed offset (UTC without one, also
// when tz is given), as it always was; start_local is in the answer's
// zone. A range of more than 100,000 buckets, from not before to, tz with
// utc_offset, an unknown zone (the answer names it and says why) or a value
// that does not read answers 400 with the reason; no history (kestu-web
// run with --database=) answers 503.
#ifndef TOOLS_WEB_HISTORY_ROUTES_H_
#define TOOLS_WEB_HISTORY_ROUTES_H_

#include <functional>
#include <string>

#include <httplib.h>

#include "tools/web/event_store.h"
#include "tools/web/site_time.h"
#include "tools/web/zone_first_seen.h"

namespace kestu_tools {

// What the history's endpoints know of the site.
struct HistorySite {
  SiteTime time;       // its time zone (UTC unless set)
  std::string source;  // where the zone came from, e.g. "--time_zone"
  const ZoneFirstSeen* first_seen = nullptr;  // may be null
  int retention_days = 0;                     // 0: everything is kept
  // The operator's name of a line's direction (process, driver, zone,
  // "FORWARD" or "BACKWARD"); empty where there is none. May be empty.
  std::function<std::string(const std::string&, const std::string&,
                            const std::string&, const std::string&)>
      direction_name;
};

class HistoryRoutes {
 public:
  // store may be null (no history); it outlives the server.
  explicit HistoryRoutes(const EventStore* store) : store_(store) {}

  // Requires: called before the server serves; first_seen outlives it.
  void SetSite(HistorySite site) { site_ = std::move(site); }
  const HistorySite& site() const { return site_; }

  void Register(httplib::Server* server);

 private:
  void Counts(const httplib::Request& request, httplib::Response& response,
              bool csv) const;
  void Totals(const httplib::Request& request,
              httplib::Response& response) const;

  const EventStore* store_;
  HistorySite site_;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_HISTORY_ROUTES_H_
