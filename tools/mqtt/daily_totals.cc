#include "tools/mqtt/daily_totals.h"

#include <utility>

namespace kestu_tools {

DailyTotals::DailyTotals(const LocalZone* zone, Clock clock)
    : zone_(zone),
      clock_(std::move(clock)),
      day_(zone_->CivilDayOf(clock_())) {}

std::optional<int64_t> DailyTotals::Add(const Key& key, absl::Time when) {
  if (zone_->CivilDayOf(when) < day_) return std::nullopt;
  return ++totals_[key];
}

int64_t DailyTotals::Get(const Key& key) const {
  auto it = totals_.find(key);
  return it == totals_.end() ? 0 : it->second;
}

void DailyTotals::Restore(const Key& key, const std::string& day,
                          int64_t count) {
  if (day == DayText(day_) && count > 0) totals_[key] = count;
}

void DailyTotals::Forget(const Key& key) { totals_.erase(key); }

std::vector<DailyTotals::Key> DailyTotals::RollOver() {
  const absl::CivilDay now = zone_->CivilDayOf(clock_());
  std::vector<Key> reset;
  if (now <= day_) return reset;
  day_ = now;
  for (const auto& [key, count] : totals_) {
    if (count != 0) reset.push_back(key);
  }
  totals_.clear();
  return reset;
}

}  // namespace kestu_tools
