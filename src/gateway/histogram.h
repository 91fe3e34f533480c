#pragma once

// The buckets of the duration histograms (Histogram in route_stats.h), and
// the observation: two relaxed adds, so that whichever thread ends or
// connects a session observes without a lock.

#include <cstddef>
#include <cstdint>
#include <span>

#include "gateway/route_stats.h"

namespace tarnwicket {

// Upper bounds in microseconds, with their `le` labels; +Inf comes last, implied.
struct Buckets {
  std::span<const std::uint64_t> bounds;
  std::span<const char* const> labels;
};

inline constexpr std::uint64_t kSessionBounds[] = {1'000'000,     5'000'000,     30'000'000,
                                                   60'000'000,    300'000'000,   900'000'000,
                                                   1'800'000'000, 3'600'000'000, 7'200'000'000};
inline constexpr const char* kSessionLabels[] = {"1",   "5",    "30",   "60",  "300",
                                                 "900", "1800", "3600", "7200"};
inline constexpr std::uint64_t kConnectBounds[] = {
    500, 1'000, 2'500, 5'000, 10'000, 25'000, 50'000, 100'000, 250'000, 500'000, 1'000'000};
inline constexpr const char* kConnectLabels[] = {
    "0.0005", "0.001", "0.0025", "0.005", "0.01", "0.025", "0.05", "0.1", "0.25", "0.5", "1"};
inline constexpr Buckets kSessionBuckets{kSessionBounds, kSessionLabels};
inline constexpr Buckets kConnectBuckets{kConnectBounds, kConnectLabels};

inline void observe(Histogram& histogram, const Buckets& buckets, std::uint64_t micros) {
  std::size_t i = 0;
  while (i < buckets.bounds.size() && micros > buckets.bounds[i]) ++i;
  add(histogram.counts[i]);
  add(histogram.sum_micros, micros);
}

inline void add_histogram(Histogram& into, const Histogram& from) {
  for (std::size_t i = 0; i <= Histogram::kMostBounds; ++i)
    add(into.counts[i], load(from.counts[i]));
  add(into.sum_micros, load(from.sum_micros));
}

}  // namespace tarnwicket
