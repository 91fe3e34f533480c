#pragma once

// Clocks and statistics of the relay benchmark. The loopback pieces (sockets,
// upstreams, the server process, /proc readings) come from the test kit.

#include <chrono>
#include <vector>

#include "support/net.h"
#include "support/process.h"

namespace tarnwicket::bench {

using namespace tarnwicket::test;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start);
double micros_between(Clock::time_point from, Clock::time_point to);

// Statistics of one sample; the vector is sorted in place.
double percentile(std::vector<double>& values, double fraction);
double median(std::vector<double> values);

}  // namespace tarnwicket::bench
