#include "support/server_ini.h"

namespace tarnwicket::test {

std::string server_ini(const std::vector<RouteSpec>& routes, int connection_timeout_ms,
                       int udp_idle_timeout_ms, const std::string& listen_address,
                       const std::string& server_keys) {
  std::string ini = "[server]\nlisten_address = " + listen_address +
                    "\nconnection_timeout_ms = " + std::to_string(connection_timeout_ms) +
                    "\nudp_idle_timeout_ms = " + std::to_string(udp_idle_timeout_ms) + "\n" +
                    server_keys;
  for (const RouteSpec& r : routes) {
    ini += "\n[route:" + r.name + "]\nprotocol = " + r.protocol +
           "\nlisten_port = " + std::to_string(r.listen_port) + "\ntarget_host = " + r.target_host +
           "\ntarget_port = " + std::to_string(r.target_port) + "\n";
    if (r.max_connections > 0)
      ini += "max_connections = " + std::to_string(r.max_connections) + "\n";
    if (!r.enabled) ini += "enabled = false\n";
    ini += r.extra;
  }
  return ini;
}

}  // namespace tarnwicket::test
