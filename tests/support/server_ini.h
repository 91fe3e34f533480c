#pragma once

// Writes a server.ini for the real binary: the [server] section and one
// [route:NAME] section per route.

#include <string>
#include <vector>

namespace tarnwicket::test {

struct RouteSpec {
  std::string name;
  std::string protocol;
  int listen_port;
  std::string target_host;
  int target_port;
  int max_connections = 0;  // 0: key left out
  bool enabled = true;
  std::string extra{};  // further "key = value" lines of the route
};

// `server_keys`: further "key = value" lines of the [server] section.
std::string server_ini(const std::vector<RouteSpec>& routes, int connection_timeout_ms = 5000,
                       int udp_idle_timeout_ms = 60000,
                       const std::string& listen_address = "127.0.0.1",
                       const std::string& server_keys = "");

}  // namespace tarnwicket::test
