#include "tools/web/local_counts.h"

#include <algorithm>
#include <map>
#include <tuple>

namespace kestu_tools {
namespace {

constexpr int64_t kHour = 3600;
// Slots finer than an hour come from the raw events, two weeks at a time,
// so that a long range never holds more than that in memory.
constexpr int64_t kChunkSeconds = 14 * 86400;

// The largest UTC slot (an hour, a minute or a second) that every bucket
// boundary is a multiple of.
int64_t Slot(const std::vector<int64_t>& bounds) {
  for (int64_t slot : {kHour, int64_t{60}}) {
    if (std::all_of(bounds.begin(), bounds.end(),
                    [slot](int64_t b) { return b % slot == 0; })) {
      return slot;
    }
  }
  return 1;
}

}  // namespace

bool LocalBuckets(const SiteTime& zone, BucketUnit unit, int64_t from,
                  int64_t to, int64_t max_buckets, std::vector<int64_t>* bounds,
                  std::string* error) {
  bounds->assign(1, zone.BucketStart(unit, from));
  while (bounds->back() < to) {
    if (static_cast<int64_t>(bounds->size()) > max_buckets) {
      *error = "the range holds more than " + std::to_string(max_buckets) +
               " buckets; choose a larger bucket or a shorter range";
      return false;
    }
    bounds->push_back(zone.BucketEnd(unit, bounds->back()));
  }
  return true;
}

int64_t BucketsBack(const SiteTime& zone, BucketUnit unit, int64_t t,
                    int64_t count) {
  int64_t start = zone.BucketStart(unit, t);
  for (int64_t i = 1; i < count; ++i) {
    start = zone.BucketStart(unit, start - 1);
  }
  return start;
}

bool CountLocal(const EventStore& store, const CountsQuery& query,
                const std::vector<int64_t>& bounds,
                std::vector<CountBucket>* buckets, std::string* error) {
  using Key = std::tuple<int64_t, std::string, std::string, std::string,
                         std::string, std::string>;
  std::map<Key, int64_t> counts;
  CountsQuery slots = query;
  slots.bucket_seconds = Slot(bounds);
  slots.utc_offset_seconds = 0;
  const int64_t chunk =
      slots.bucket_seconds == kHour ? query.to - query.from : kChunkSeconds;
  std::vector<CountBucket> part;
  for (int64_t from = query.from; from < query.to; from += chunk) {
    slots.from = from;
    slots.to = std::min(query.to, from + chunk);
    if (!store.Counts(slots, &part, error)) return false;
    for (const CountBucket& slot : part) {
      // Every slot lies inside one bucket; the first may begin before
      // `from`, never before the first bucket.
      const auto after =
          std::upper_bound(bounds.begin(), bounds.end(), slot.start);
      const int64_t start =
          after == bounds.begin() ? bounds.front() : *std::prev(after);
      counts[Key(start, slot.process, slot.driver, slot.tag, slot.zone,
                 slot.direction)] += slot.count;
    }
  }
  buckets->clear();
  for (const auto& [key, count] : counts) {
    buckets->push_back({std::get<0>(key), std::get<1>(key), std::get<2>(key),
                        std::get<3>(key), std::get<4>(key), std::get<5>(key),
                        count});
  }
  return true;
}

}  // namespace kestu_tools
