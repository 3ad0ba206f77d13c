// HistoryRoutes: the event history's HTTP endpoints.
//
//   GET /api/counts      events per bucket as a CountsAnswer (JSON)
//   GET /api/counts.csv  the same rows as CSV:
//                        start,epoch,process,driver,tag,zone,direction,count
//
// Parameters (all optional): process, driver, zone, tag (filters; empty or
// absent: any); bucket = minute | hour (default) | day; from and to, each
// seconds since the Unix epoch or ISO 8601 ("2024-03-10",
// "2024-03-10T08:00", "2024-03-10T08:00:00Z", "...+02:00"; without a zone
// in the time zone of utc_offset), the range [from, to), to defaulting to
// now and from to an hour, a day or 30 days before it; utc_offset, minutes
// east of UTC that the buckets (and times without a zone) are in, default
// 0. A range of more than 100,000 buckets, from not before to, or a value
// that does not read answers 400 with the reason; no history (kestu-web
// run with --database=) answers 503.
#ifndef TOOLS_WEB_HISTORY_ROUTES_H_
#define TOOLS_WEB_HISTORY_ROUTES_H_

#include <httplib.h>

#include "tools/web/event_store.h"

namespace kestu_tools {

class HistoryRoutes {
 public:
  // store may be null (no history); it outlives the server.
  explicit HistoryRoutes(const EventStore* store) : store_(store) {}

  void Register(httplib::Server* server);

 private:
  void Counts(const httplib::Request& request, httplib::Response& response,
              bool csv) const;

  const EventStore* store_;
};

}  // namespace kestu_tools

#endif  // TOOLS_WEB_HISTORY_ROUTES_H_
