// The rules a server configuration must meet, checked in a fixed order: the
// first that fails gives the one message an operator sees.

#include <arpa/inet.h>

#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "config/self_target.h"
#include "config/server_config.h"

namespace tarnwicket {
namespace {

bool in_range(int value, int low, int high) { return value >= low && value <= high; }

std::runtime_error route_error(const ServerRoute& route, const std::string& rest) {
  return std::runtime_error("线路 " + route.name + rest);
}

void check_first_reply(const ServerRoute& route, int idle_timeout_ms) {
  if (route.udp_first_reply_timeout_ms != 0 &&
      !in_range(route.udp_first_reply_timeout_ms, 100, idle_timeout_ms)) {
    throw route_error(route, " 的 udp_first_reply_timeout_ms 超出范围");
  }
}

void validate_flood_limits(const ServerRoute& route) {
  constexpr int kMostPerSecond = 1000000;
  const std::pair<int, const char*> rates[] = {
      {route.new_clients_per_second, "new_clients_per_second"},
      {route.new_clients_per_address_per_second, "new_clients_per_address_per_second"},
  };
  for (const auto& [value, key] : rates) {
    if (!in_range(value, 0, kMostPerSecond)) {
      throw route_error(route, std::string(" 的 ") + key + " 超出范围");
    }
  }
  for (const std::string& entry : route.deny) {
    if (!parse_network(entry)) throw route_error(route, " 的 deny 包含无效网段: " + entry);
  }
  if (!in_range(route.udp_datagrams_per_second_per_client, 0, kMostPerSecond)) {
    throw route_error(route, " 的 udp_datagrams_per_second_per_client 超出范围");
  }
}

void validate_route(const ServerRoute& route, const ServerConfig& config,
                    std::set<std::pair<std::string, int>>& claimed) {
  if (route.name.empty()) throw std::runtime_error("启用的线路 name 不能为空");
  const std::string& protocol = route.protocol;
  if (protocol != "tcp" && protocol != "udp" && protocol != "both") {
    throw route_error(route, " 的 protocol 必须是 tcp、udp 或 both");
  }
  if (!in_range(route.listen_port, 1, 65535) || !in_range(route.target_port, 1, 65535)) {
    throw route_error(route, " 的端口必须在 1 到 65535 之间");
  }
  if (route.target_host.empty()) throw route_error(route, " 的 target_host 不能为空");
  if (!in_range(route.max_connections, 1, 100000)) {
    throw route_error(route, " 的 max_connections 超出范围");
  }
  // TCP and UDP listeners are separate sockets, so only same-protocol pairs clash.
  for (const char* kind : {"tcp", "udp"}) {
    if (protocol != kind && protocol != "both") continue;
    if (!claimed.emplace(kind, route.listen_port).second) {
      throw std::runtime_error(std::string(kind) +
                               " 监听端口重复: " + std::to_string(route.listen_port));
    }
  }
  if (!in_range(route.max_connections_per_address, 0, 100000)) {
    throw route_error(route, " 的 max_connections_per_address 超出范围");
  }
  // Against the route's own idle time-out once that is known to be valid, below.
  if (!route.udp_idle_timeout_ms) check_first_reply(route, config.udp_idle_timeout_ms);
  for (const std::string& entry : route.allow) {
    if (!parse_network(entry)) throw route_error(route, " 的 allow 包含无效网段: " + entry);
  }
  if (targets_itself(route, config.listen_address)) {
    throw route_error(route, " 的目标不能是自身的监听端口");
  }
  if (route.udp_receive_buffer_bytes != 0 &&
      !in_range(route.udp_receive_buffer_bytes, 4096, 67108864)) {
    throw route_error(route, " 的 udp_receive_buffer_bytes 超出范围");
  }
  const std::string& proxy = route.proxy_protocol;
  if (proxy != "off" && proxy != "v1" && proxy != "v2") {
    throw route_error(route, " 的 proxy_protocol 必须是 off、v1 或 v2");
  }
  if (proxy == "v1" && protocol != "tcp")
    throw route_error(route, " 的 proxy_protocol v1 只支持 tcp");
  if (route.accept_proxy_protocol && (protocol == "udp" || route.trusted_proxies.empty())) {
    throw route_error(route, " 的 accept_proxy_protocol 需要 trusted_proxies");
  }
  for (const std::string& entry : route.trusted_proxies) {
    if (!parse_network(entry)) {
      throw route_error(route, " 的 trusted_proxies 包含无效网段: " + entry);
    }
  }
  if (route.connection_timeout_ms && !in_range(*route.connection_timeout_ms, 100, 300000)) {
    throw route_error(route, " 的 connection_timeout_ms 超出范围");
  }
  if (route.udp_idle_timeout_ms) {
    if (!in_range(*route.udp_idle_timeout_ms, 1000, 3600000)) {
      throw route_error(route, " 的 udp_idle_timeout_ms 超出范围");
    }
    check_first_reply(route, *route.udp_idle_timeout_ms);
  }
  validate_flood_limits(route);
}

void validate_admin(const ServerConfig& config) {
  if (!in_range(config.admin_port, 0, 65535)) {
    throw std::runtime_error("server.admin_port 必须在 0 到 65535 之间");
  }
  if (config.admin_port != 0) {
    for (const ServerRoute& route : config.routes) {
      if (route.enabled && route.protocol != "udp" && route.listen_port == config.admin_port) {
        throw std::runtime_error("server.admin_port 与线路监听端口重复: " +
                                 std::to_string(config.admin_port));
      }
    }
  }
  in_addr address{};
  if (inet_pton(AF_INET, config.admin_address.c_str(), &address) != 1) {
    throw std::runtime_error("server.admin_address 必须是 IPv4 地址");
  }
}
}  // namespace

void validate_server_config(const ServerConfig& config) {
  if (config.listen_address.empty()) throw std::runtime_error("server.listen_address 不能为空");
  if (!in_range(config.connection_timeout_ms, 100, 300000)) {
    throw std::runtime_error("server.connection_timeout_ms 必须在 100 到 300000 之间");
  }
  if (!in_range(config.udp_idle_timeout_ms, 1000, 3600000)) {
    throw std::runtime_error("server.udp_idle_timeout_ms 必须在 1000 到 3600000 之间");
  }
  std::set<std::pair<std::string, int>> claimed;
  bool any_enabled = false;
  for (const ServerRoute& route : config.routes) {
    if (!route.enabled) continue;
    any_enabled = true;
    validate_route(route, config, claimed);
  }
  if (!any_enabled) throw std::runtime_error("至少需要一条启用的线路");
  validate_admin(config);
  if (!in_range(config.drain_timeout_ms, 0, 3600000)) {
    throw std::runtime_error("server.drain_timeout_ms 必须在 0 到 3600000 之间");
  }
  for (const std::string& entry : config.admin_allow) {
    if (!parse_network(entry)) {
      throw std::runtime_error("server.admin_allow 包含无效网段: " + entry);
    }
  }
  if (config.engine != "threads" && config.engine != "events") {
    throw std::runtime_error("server.engine 必须是 threads 或 events");
  }
  if (!in_range(config.worker_threads, 0, 256)) {
    throw std::runtime_error("server.worker_threads 必须在 0 到 256 之间");
  }
  if (config.log_refusals != "each" && config.log_refusals != "summary") {
    throw std::runtime_error("server.log_refusals 必须是 each 或 summary");
  }
  if (config.session_log_format != "json" && config.session_log_format != "text") {
    throw std::runtime_error("server.session_log_format 必须是 json 或 text");
  }
  const std::string& address = config.session_log_address;
  if (address != "full" && address != "masked" && address != "hashed" && address != "none") {
    throw std::runtime_error("server.session_log_address 必须是 full、masked、hashed 或 none");
  }
  if (config.log_format != "text" && config.log_format != "json") {
    throw std::runtime_error("server.log_format 必须是 text 或 json");
  }
}

}  // namespace tarnwicket
