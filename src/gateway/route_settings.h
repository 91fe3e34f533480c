#pragma once

#include <memory>
#include <vector>

#include "config/server_config.h"

namespace tarnwicket {

// What new connections and associations of a route go by: taken once by
// each, kept for its whole life, replaced whole by a reload.
struct RouteSettings {
  RouteSettings(const ServerRoute& r, const ServerConfig& config);

  ServerRoute route;
  std::vector<IpNetwork> allow;            // empty: everyone
  std::vector<IpNetwork> trusted_proxies;  // with accept_proxy_protocol
  int connection_timeout_ms;
  int udp_idle_timeout_ms;
  std::vector<IpNetwork> deny;  // empty: no one
  bool summarize_refusals;      // log_refusals = summary: no line per refusal
};
using Settings = std::shared_ptr<const RouteSettings>;

}  // namespace tarnwicket
