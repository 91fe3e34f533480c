#pragma once

// The metrics exposition: Prometheus text format 0.0.4. No series carries a
// client address.

#include <cstdint>
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

// The gateway's own state, beside its routes.
struct GatewayView {
  bool last_reload_successful = true;
  double last_reload_success_seconds = 0;  // since the epoch; the start counts as one
  std::uint64_t reloads_succeeded = 0;
  std::uint64_t reloads_failed = 0;
  bool draining = false;
  std::uint64_t session_records_dropped = 0;
};

// Every family with one series per route name, in the order the names first
// appear, then the gateway's and the process's own series.
std::string metrics_exposition(const std::vector<RouteView>& routes, const GatewayView& gateway);

// A label value with backslash, double quote and line feed escaped.
std::string escape_label(const std::string& value);

}  // namespace tarnwicket
