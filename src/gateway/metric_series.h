#pragma once

// The per-route series of the metrics exposition: one row per series, each
// naming where its value lives in a route's counters.

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "gateway/route_stats.h"

namespace tarnwicket {

enum Field : std::uint8_t {
  kOpen,
  kAdmitted,
  kConnectFailures,
  kBytes,
  kDatagrams,
  kRefused,
  kEvicted,
};

// Where a series' value lives in a route's counters.
struct Source {
  Protocol protocol;
  Field field;
  std::uint8_t index = 0;  // the Direction or the Refusal
};

std::uint64_t read(const RouteStats& stats, Source source);

// One series per route name. Rows of one family follow each other; the
// first of them carries its help and type.
struct Series {
  const char* family;
  const char* type;
  const char* help;
  const char* labels;  // after the route label, as `,k="v"`
  Source source;
};

std::span<const Series> route_series();

// Route names, label-escaped, in the order they first appear, each with its records.
using NamedRecords = std::vector<std::pair<std::string, std::vector<const RouteStats*>>>;

// The session families: how sessions ended, by reason, and the histograms of
// their durations and of upstream connects; every reason and bucket from the start.
void session_series(std::ostream& out, const NamedRecords& names);

}  // namespace tarnwicket
