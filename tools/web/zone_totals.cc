#include "tools/web/zone_totals.h"

#include <array>
#include <map>
#include <utility>
#include <vector>

#include "tools/web/local_counts.h"

namespace kestu_tools {
namespace {

constexpr int64_t kHour = 3600;
// Exits stamped a little ahead of kestu-web's clock count too.
constexpr int64_t kAhead = 7 * 86400;

struct Line {
  double first_seen = 0.0;
  bool from_history = false;
  std::array<int64_t, 2> today{};  // FORWARD, BACKWARD
  std::array<int64_t, 2> total{};
};

using LineKey = std::pair<std::string, std::string>;  // driver, zone

// Adds the query's exits per driver, zone and direction to the lines.
bool AddExits(const EventStore& store, CountsQuery query,
              const std::vector<int64_t>& bounds, bool today,
              std::map<LineKey, Line>* lines, std::string* error) {
  std::vector<CountBucket> rows;
  if (!CountLocal(store, query, bounds, &rows, error)) return false;
  for (const CountBucket& row : rows) {
    if (row.direction != "FORWARD" && row.direction != "BACKWARD") continue;
    Line& line = (*lines)[LineKey(row.driver, row.zone)];
    (today ? line.today : line.total)[row.direction == "FORWARD" ? 0 : 1] +=
        row.count;
  }
  return true;
}

}  // namespace

kestu::tools::SiteTimeZone SiteZoneAt(const SiteTime& site,
                                      const std::string& source, int64_t now) {
  kestu::tools::SiteTimeZone zone;
  zone.set_time_zone(site.name());
  zone.set_abbreviation(site.Abbreviation(now));
  zone.set_utc_offset_seconds(site.OffsetSeconds(now));
  zone.set_now_local(site.Iso(now));
  zone.set_source(source);
  return zone;
}

bool ZoneTotals(const EventStore& store, const ZoneFirstSeen* first_seen,
                const SiteTime& site, const TotalsRequest& request,
                kestu::tools::TotalsAnswer* answer, std::string* error) {
  const int64_t now = request.now;
  const int64_t day_start = site.BucketStart(BucketUnit::kDay, now);
  const int64_t day_end = site.BucketEnd(BucketUnit::kDay, day_start);
  answer->set_day_start(static_cast<double>(day_start));
  answer->set_day_start_local(site.Iso(day_start));

  std::map<LineKey, Line> lines;
  if (first_seen != nullptr) {
    for (const auto& entry :
         first_seen->Lines(request.process, request.driver)) {
      Line& line = lines[LineKey(entry.driver, entry.zone)];
      line.first_seen = entry.first_seen;
      line.from_history = entry.from_history;
    }
  }
  CountsQuery query;
  query.process = request.process;
  query.driver = request.driver;
  query.tag = "ZONE_EXIT";
  query.from = day_start;
  query.to = day_end;
  if (!AddExits(store, query, {day_start, day_end}, true, &lines, error)) {
    return false;
  }
  // Everything the history holds, in one bucket of whole hours (the hourly
  // table's).
  query.from = 0;
  query.to = now + kAhead;
  const int64_t end = (query.to / kHour + 1) * kHour;
  if (!AddExits(store, query, {0, end}, false, &lines, error)) return false;

  const int64_t horizon =
      request.retention_days > 0
          ? (now - int64_t{request.retention_days} * 86400) / kHour * kHour
          : 0;
  for (const auto& [key, line] : lines) {
    const bool pruned = horizon > 0 && line.first_seen < horizon;
    const int64_t since =
        pruned ? horizon : static_cast<int64_t>(line.first_seen);
    for (int direction = 0; direction < 2; ++direction) {
      auto* total = answer->add_totals();
      total->set_process(request.process);
      total->set_driver(key.first);
      total->set_zone(key.second);
      total->set_direction(direction == 0 ? "FORWARD" : "BACKWARD");
      total->set_today(line.today[direction]);
      total->set_total(line.total[direction]);
      total->set_first_seen(line.first_seen);
      if (line.first_seen > 0) {
        total->set_first_seen_local(
            site.Iso(static_cast<int64_t>(line.first_seen)));
      }
      total->set_first_seen_from_history(line.from_history);
      total->set_counted_since(static_cast<double>(since));
      if (since > 0) total->set_counted_since_local(site.Iso(since));
      total->set_pruned(pruned);
    }
  }
  return true;
}

}  // namespace kestu_tools
