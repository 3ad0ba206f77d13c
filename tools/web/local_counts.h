// The history's events counted per local bucket of a time zone.
//
// The store counts per UTC slot (an hour when every bucket boundary is a
// whole UTC hour, so that its hourly table does the work; else a minute,
// or a second for the local mean times of old dates), over at most two
// weeks at a time, and each slot goes to the local bucket that holds it.
//
//   std::vector<int64_t> bounds;
//   LocalBuckets(berlin, BucketUnit::kDay, from, to, &bounds, &error);
//   CountLocal(store, query, bounds, &rows, &error);
#ifndef TOOLS_WEB_LOCAL_COUNTS_H_
#define TOOLS_WEB_LOCAL_COUNTS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/web/event_store.h"
#include "tools/web/site_time.h"

namespace kestu_tools {

// The buckets that hold [from, to): their starts, then the end of the last
// (bounds[0] <= from, bounds.back() >= to). False when there would be more
// than max_buckets.
bool LocalBuckets(const SiteTime& zone, BucketUnit unit, int64_t from,
                  int64_t to, int64_t max_buckets, std::vector<int64_t>* bounds,
                  std::string* error);

// The start of the bucket `count` - 1 buckets before the one holding `t`.
int64_t BucketsBack(const SiteTime& zone, BucketUnit unit, int64_t t,
                    int64_t count);

// The events of [query.from, query.to) that pass the query's filters,
// counted per bucket of `bounds` (CountBucket.start: the bucket's start),
// ordered by bucket, then process, driver, tag, zone and direction.
// query.bucket_seconds and utc_offset_seconds are not used.
bool CountLocal(const EventStore& store, const CountsQuery& query,
                const std::vector<int64_t>& bounds,
                std::vector<CountBucket>* buckets, std::string* error);

}  // namespace kestu_tools

#endif  // TOOLS_WEB_LOCAL_COUNTS_H_
