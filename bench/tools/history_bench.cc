// kestu-web's event history and what-if recounting at their intended size.
//
// History: a million events over the last 30 days (three drivers, four
// zones each, both directions, a result's JSON each), written through
// EventStore in batches of 1,000 (the write rate is a counter of
// BM_OpenChecked, which also times the start-up check of the full file).
// Then the queries the page and the API make:
//   BM_Counts/hour_30_days_one_driver   the page's hourly chart over a month
//   BM_Counts/hour_30_days_all          every driver
//   BM_Counts/day_30_days_one_driver    the daily chart
//   BM_Counts/minute_1_hour_one_driver  minutes, from the events themselves
//   BM_Counts/day_30_days_half_hour_offset  local days in a zone half an
//                                       hour off UTC: whole hours do not
//                                       fit, so every event is counted
// What-if: an hour at 10 frames per second with 20 people walking through
// the frame (720,000 boxes), copied out of the track history and recounted
// with one line (BM_WhatIfHour), as the page asks while a line is dragged.
//
// Run: build/bench/tools/history_bench (the database goes to /tmp and is
// removed at the end).
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "tools/web/event_store.h"
#include "tools/web/track_history.h"
#include "tools/web/what_if.h"
#include "tools/web/zone_layout.h"

namespace {

using kestu_tools::CountBucket;
using kestu_tools::CountsQuery;
using kestu_tools::EventStore;
using kestu_tools::StoredEvent;

constexpr int kEvents = 1000000;
constexpr int kBatch = 1000;
constexpr int64_t kDay = 86400;
constexpr char kProcess[] = "127.0.0.1:60000";
const char* const kDrivers[] = {"crowd", "vehicle", "face"};

std::string DatabasePath() {
  static const std::string path =
      "/tmp/kestu-history-bench-" + std::to_string(getpid()) + ".sqlite";
  return path;
}

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Builds the million-event database once; the write rate in events/s.
double BuildDatabase() {
  static const double rate = [] {
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::remove((DatabasePath() + suffix).c_str());
    }
    EventStore store;
    std::string error;
    if (!store.Open(DatabasePath(), &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::abort();
    }
    const int64_t start_time = Now() - 30 * kDay;
    const auto start = std::chrono::steady_clock::now();
    std::vector<StoredEvent> batch(kBatch);
    for (int i = 0; i < kEvents; i += kBatch) {
      for (int k = 0; k < kBatch; ++k) {
        const int n = i + k;
        StoredEvent& e = batch[k];
        e.process = kProcess;
        e.driver = kDrivers[n % 3];
        e.time = start_time + n * (30.0 * kDay / kEvents);
        e.tag = "ZONE_EXIT";
        e.zone = "Zone " + std::to_string(n / 3 % 4);
        e.direction = n / 12 % 2 == 0 ? "FORWARD" : "BACKWARD";
        e.has_speed = true;
        e.speed = 1.4;
        e.tracking_id = n;
        e.type = "person";
        e.result_json =
            "{\"rectDetection\":[{\"location\":{\"x\":312,\"y\":188,\"width\":"
            "38,"
            "\"height\":92},\"confidence\":0.71,\"type\":\"person\","
            "\"trackingId\":\"" +
            std::to_string(n) +
            "\"}],\"visionEvent\":[{\"tag\":\"ZONE_EXIT\",\"trackingId\":\"" +
            std::to_string(n) + "\",\"sessionTime\":4.2,\"zoneName\":\"" +
            e.zone + "\",\"zoneDirection\":\"" + e.direction +
            "\",\"speed\":1.4,\"timestamp\":\"2024-03-10T10:15:00Z\"}],"
            "\"uuid\":\"6f1c2b1e-3c1d-4e0a-9a8b-2f6d5c4b3a21\"}";
      }
      if (!store.Append(batch, {}, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::abort();
      }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    std::atexit([] {
      for (const char* suffix : {"", "-wal", "-shm"}) {
        std::remove((DatabasePath() + suffix).c_str());
      }
    });
    return kEvents / seconds;
  }();
  return rate;
}

EventStore& Store() {
  static EventStore* store = [] {
    BuildDatabase();
    auto* s = new EventStore();
    std::string error;
    if (!s->Open(DatabasePath(), &error)) std::abort();
    return s;
  }();
  return *store;
}

void BM_OpenChecked(benchmark::State& state) {
  const double rate = BuildDatabase();
  for (auto _ : state) {
    EventStore store;
    std::string error;
    if (!store.Open(DatabasePath(), &error)) state.SkipWithError(error.c_str());
  }
  state.counters["written_events_per_s"] = rate;
}
BENCHMARK(BM_OpenChecked)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Counts(benchmark::State& state, int64_t bucket, int64_t span,
               bool one_driver, int64_t offset) {
  EventStore& store = Store();
  CountsQuery query;
  if (one_driver) {
    query.process = kProcess;
    query.driver = "crowd";
  }
  query.to = Now() + 1;
  query.from = query.to - span;
  query.bucket_seconds = bucket;
  query.utc_offset_seconds = offset;
  std::vector<CountBucket> buckets;
  std::string error;
  int64_t events = 0;
  for (auto _ : state) {
    if (!store.Counts(query, &buckets, &error))
      state.SkipWithError(error.c_str());
    events = 0;
    for (const CountBucket& b : buckets) events += b.count;
  }
  state.counters["rows"] = static_cast<double>(buckets.size());
  state.counters["events"] = static_cast<double>(events);
}

BENCHMARK_CAPTURE(BM_Counts, hour_30_days_one_driver, 3600, 30 * kDay, true, 0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Counts, hour_30_days_all, 3600, 30 * kDay, false, 0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Counts, day_30_days_one_driver, kDay, 30 * kDay, true, 0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Counts, minute_1_hour_one_driver, 60, 3600, true, 0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Counts, day_30_days_half_hour_offset, kDay, 30 * kDay,
                  true, 1800)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// An hour at 10 fps: 20 people crossing the 768-pixel frame left to right
// or back at 40 to 120 pixels a second, a new track for each crossing.
void FillHistory(kestu_tools::TrackHistory* history,
                 kestu_tools::TrackHistory::Clock::time_point start) {
  talvenrook::vision::v1::VisionResult frame;
  for (int f = 0; f < 36000; ++f) {
    frame.clear_rect_detection();
    for (int p = 0; p < 20; ++p) {
      const double speed = 4.0 + p % 9;  // pixels per frame
      const double travel = f * speed + p * 37.0;
      const int crossing = static_cast<int>(travel / 800.0);
      const double along = std::fmod(travel, 800.0);
      const bool right = (crossing + p) % 2 == 0;
      auto* d = frame.add_rect_detection();
      d->set_tracking_id(static_cast<uint64_t>(p * 100000 + crossing));
      d->mutable_location()->set_x(
          static_cast<float>(right ? along - 20 : 780 - along));
      d->mutable_location()->set_y(static_cast<float>(120 + p * 15));
      d->mutable_location()->set_width(40);
      d->mutable_location()->set_height(90);
    }
    history->Add(kProcess, "crowd", frame,
                 start + std::chrono::milliseconds(100 * f));
  }
}

void BM_WhatIfHour(benchmark::State& state) {
  kestu_tools::TrackHistory history(std::chrono::minutes(60));
  const auto start =
      kestu_tools::TrackHistory::Clock::now() - std::chrono::minutes(60);
  FillHistory(&history, start);
  kestu_tools::WhatIf what_if(&history,
                              kestu_tools::TrackHistory::kDefaultMaxBoxes);
  kestu::tools::ZoneLayout layout;
  auto* line = layout.add_lines();
  line->set_name("Door");
  line->mutable_a()->set_x(384);
  line->mutable_a()->set_y(60);
  line->mutable_b()->set_x(384);
  line->mutable_b()->set_y(500);
  line->set_height(30);
  talvenrook::common::Entity zones;
  kestu_tools::ApplyLayout(layout, &zones);
  kestu::tools::RecountReport report;
  size_t boxes = 0;
  for (auto _ : state) {
    std::string error;
    const auto frames = what_if.Frames(kProcess, "crowd", "live", &error);
    boxes = frames->boxes.size();
    report = kestu_tools::WhatIf::Recount(*frames, zones, 15);
  }
  state.counters["frames"] = static_cast<double>(report.frames());
  state.counters["boxes"] = static_cast<double>(boxes);
  state.counters["history_MB"] =
      boxes * sizeof(kestu_tools::TrackBox) / 1e6 + report.frames() * 16 / 1e6;
  state.counters["crossings"] = static_cast<double>(report.zones(0).forward() +
                                                    report.zones(0).backward());
}
BENCHMARK(BM_WhatIfHour)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
