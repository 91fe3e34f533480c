#pragma once

// The metrics exposition: Prometheus text format 0.0.4. No series carries a
// client address.

#include <string>
#include <vector>

#include "gateway/route_stats.h"

namespace tarnwicket {

// The counters of one route record. Records that share a name (a route and
// its retired predecessors, or two routes named alike) give one series per
// name, their values summed.
struct RouteView {
  const std::string& name;
  const RouteStats& stats;
};

// Every family with one series per route name, in the order the names first
// appear, then the process's own series.
std::string metrics_exposition(const std::vector<RouteView>& routes);

// A label value with backslash, double quote and line feed escaped.
std::string escape_label(const std::string& value);

}  // namespace tarnwicket
