#pragma once

// The metrics exposition: Prometheus text format 0.0.4. No series carries a
// client address.

#include <string>
#include <vector>

#include "gateway/route_stats.h"

namespace tarnwicket {

struct RouteView {
  const std::string& name;
  const RouteStats& stats;
};

// Every family with one series per route, then the process's own series.
std::string metrics_exposition(const std::vector<RouteView>& routes);

// A label value with backslash, double quote and line feed escaped.
std::string escape_label(const std::string& value);

}  // namespace tarnwicket
