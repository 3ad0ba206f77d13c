// Paired comparisons: both sides run alternately in the same loop, so that
// load from other processes on the machine hits them alike. Counters give
// each side's frame rate and their ratio.
#ifndef BENCH_PAIRED_H_
#define BENCH_PAIRED_H_

#include <chrono>
#include <cstdint>

#include <benchmark/benchmark.h>

namespace kestu_bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Frame rates of sides a and b, and "ratio" = rate of b over rate of a.
inline void ReportPair(benchmark::State& state, const char* a, double a_seconds,
                       const char* b, double b_seconds, int64_t frames) {
  state.counters[a] = frames / a_seconds;
  state.counters[b] = frames / b_seconds;
  state.counters["ratio"] = a_seconds / b_seconds;
}

}  // namespace kestu_bench

#endif  // BENCH_PAIRED_H_
