#include "bench_util.h"

#include <algorithm>
#include <cmath>

namespace tarnwicket::bench {

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double micros_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::micro>(to - from).count();
}

double percentile(std::vector<double>& values, double fraction) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const auto last = static_cast<double>(values.size() - 1);
  return values[static_cast<std::size_t>(std::lround(fraction * last))];
}

double median(std::vector<double> values) { return percentile(values, 0.5); }

}  // namespace tarnwicket::bench
