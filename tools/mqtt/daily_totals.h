// DailyTotals: the zone exits of the local day so far ("today"), per
// driver, zone and direction, in one time zone; every total goes back to 0
// at local midnight.
//
// An exit counts on the local day of its own time (the driver's event
// time): one of an earlier day (a journal caught up after midnight) is not
// today's; one the clock has not reached yet (a driver's clock a little
// ahead) is. RollOver, called at each midnight (and before each Add), makes
// the day the clock's: the totals that were not 0 are returned, to be
// published as 0. The clock is the caller's, so that tests can set it.
//
// Example:
//   DailyTotals today(&zone, [] { return absl::Now(); });
//   today.Add({"crowd", "Walkway", "FORWARD"}, event_time);  // 1
//   ... at 00:00 local time:
//   for (const auto& key : today.RollOver()) Publish(key, 0);
//
// Not thread-safe: the bridge guards it.
#ifndef TOOLS_MQTT_DAILY_TOTALS_H_
#define TOOLS_MQTT_DAILY_TOTALS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "absl/time/civil_time.h"
#include "absl/time/time.h"
#include "tools/mqtt/local_time.h"

namespace kestu_tools {

class DailyTotals {
 public:
  using Clock = std::function<absl::Time()>;
  // (driver, zone, direction name).
  using Key = std::tuple<std::string, std::string, std::string>;

  // Requires: `zone` outlives this.
  DailyTotals(const LocalZone* zone, Clock clock);

  // Counts an exit at `when`; today's total of `key` after it, or nullopt
  // when `when` lies on an earlier local day.
  std::optional<int64_t> Add(const Key& key, absl::Time when);
  // Today's total of `key` (0 when none).
  int64_t Get(const Key& key) const;
  // Takes a total kept for `day` ("2027-03-28"): it counts when that day is
  // today.
  void Restore(const Key& key, const std::string& day, int64_t count);
  // Drops the total of `key` (its zone went away).
  void Forget(const Key& key);

  // Makes the clock's local day the current one, when it is later: the keys
  // whose totals were not 0, all now 0.
  std::vector<Key> RollOver();

  // The current local day, its first moment, and the first moment of the
  // next.
  absl::CivilDay day() const { return day_; }
  std::string day_text() const { return DayText(day_); }
  absl::Time DayStart() const { return zone_->Start(day_); }
  absl::Time NextMidnight() const { return zone_->Start(day_ + 1); }

  const std::map<Key, int64_t>& totals() const { return totals_; }

 private:
  const LocalZone* const zone_;
  const Clock clock_;
  absl::CivilDay day_;
  std::map<Key, int64_t> totals_;
};

}  // namespace kestu_tools

#endif  // TOOLS_MQTT_DAILY_TOTALS_H_
