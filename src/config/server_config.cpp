#include "config/server_config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "config/ini.h"
#include "config/self_target.h"
#include "config/text.h"

namespace tarnwicket {
namespace {

constexpr std::string_view kRoutePrefix = "route:";

// A missing key and an unreadable number both keep the current value.
int read_int(const IniFile& ini, const std::string& section, const std::string& key, int current) {
  return ini.get_int(section, key, current);
}

// A key whose default is the server's: unset when missing or unreadable.
std::optional<int> read_own_int(const IniFile& ini, const std::string& section,
                                const std::string& key) {
  if (!ini.has(section, key)) return std::nullopt;
  const std::string text = ini.get(section, key, "");
  // Two fallbacks tell an unreadable number from one that reads as either.
  const int value = parse_int(text, 0);
  if (value != parse_int(text, 1)) return std::nullopt;
  return value;
}

ServerRoute read_route(const IniFile& ini, const std::string& section) {
  ServerRoute route;
  route.name = trim(section.substr(kRoutePrefix.size()));
  route.protocol = lower(trim(ini.get(section, "protocol", route.protocol)));
  route.listen_port = read_int(ini, section, "listen_port", route.listen_port);
  route.target_host = ini.get(section, "target_host", route.target_host);
  route.target_port = read_int(ini, section, "target_port", route.target_port);
  route.max_connections = read_int(ini, section, "max_connections", route.max_connections);
  route.enabled = ini.get_bool(section, "enabled", route.enabled);
  route.max_connections_per_address =
      read_int(ini, section, "max_connections_per_address", route.max_connections_per_address);
  route.udp_first_reply_timeout_ms =
      read_int(ini, section, "udp_first_reply_timeout_ms", route.udp_first_reply_timeout_ms);
  route.allow = split(ini.get(section, "allow", ""), '|');
  route.udp_receive_buffer_bytes =
      read_int(ini, section, "udp_receive_buffer_bytes", route.udp_receive_buffer_bytes);
  route.proxy_protocol = lower(trim(ini.get(section, "proxy_protocol", route.proxy_protocol)));
  route.accept_proxy_protocol =
      ini.get_bool(section, "accept_proxy_protocol", route.accept_proxy_protocol);
  route.trusted_proxies = split(ini.get(section, "trusted_proxies", ""), '|');
  route.transparent = parse_bool(ini.get(section, "transparent", "false"), route.transparent);
  route.connection_timeout_ms = read_own_int(ini, section, "connection_timeout_ms");
  route.udp_idle_timeout_ms = read_own_int(ini, section, "udp_idle_timeout_ms");
  return route;
}

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

bool IpNetwork::contains(int host_family, const std::uint8_t* host) const {
  if (host_family != family) return false;
  int bits = prefix;
  for (std::size_t i = 0; i < address.size() && bits > 0; ++i, bits -= 8) {
    const auto mask = static_cast<std::uint8_t>(bits >= 8 ? 0xff : 0xff << (8 - bits));
    if ((host[i] & mask) != address[i]) return false;
  }
  return true;
}

std::optional<IpNetwork> parse_network(const std::string& text) {
  IpNetwork network;
  const std::size_t slash = text.find('/');
  const std::string address = text.substr(0, slash);
  if (slash != std::string::npos) {
    const std::string prefix = text.substr(slash + 1);
    // Digits only: parse_int would also take a sign or spaces.
    if (prefix.empty() || prefix.size() > 3 ||
        prefix.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    network.prefix = parse_int(prefix, -1);
  }
  if (inet_pton(AF_INET6, address.c_str(), network.address.data()) == 1) {
    network.family = AF_INET6;
    if (slash == std::string::npos) network.prefix = 128;
  } else if (inet_pton(AF_INET, address.c_str(), network.address.data()) != 1) {
    return std::nullopt;
  }
  const bool v4 = network.family == AF_INET;
  if (network.prefix > (v4 ? 32 : 128)) return std::nullopt;
  if (v4 && slash != std::string::npos && text.size() - slash - 1 > 2) return std::nullopt;
  // Host bits are cleared, so "10.1.2.3/8" means 10.0.0.0/8.
  int bits = network.prefix;
  for (auto& byte : network.address) {
    byte = static_cast<std::uint8_t>(bits >= 8   ? byte
                                     : bits <= 0 ? 0
                                                 : byte & (0xff << (8 - bits)));
    bits -= 8;
  }
  // Clients on a dual-stack listener count as IPv4, so an IPv4-mapped network
  // ("::ffff:10.0.0.0/104") is kept as the IPv4 network it names.
  constexpr std::uint8_t kMapped[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  auto& bytes = network.address;
  if (!v4 && network.prefix >= 96 &&
      std::equal(std::begin(kMapped), std::end(kMapped), bytes.begin())) {
    std::copy(bytes.begin() + 12, bytes.end(), bytes.begin());
    std::fill(bytes.begin() + 4, bytes.end(), std::uint8_t{0});
    network.family = AF_INET;
    network.prefix -= 96;
  }
  return network;
}

ServerConfig load_server_config(const std::filesystem::path& path) {
  return read_server_config(load_ini(path));
}

ServerConfig read_server_config(const IniFile& ini) {
  ServerConfig config;
  config.listen_address = ini.get("server", "listen_address", config.listen_address);
  config.connection_timeout_ms =
      read_int(ini, "server", "connection_timeout_ms", config.connection_timeout_ms);
  config.udp_idle_timeout_ms =
      read_int(ini, "server", "udp_idle_timeout_ms", config.udp_idle_timeout_ms);

  // Map order, not file order: routes come out sorted by section name bytes.
  for (const auto& [section, keys] : ini.sections) {
    if (section.compare(0, kRoutePrefix.size(), kRoutePrefix) != 0) continue;
    config.routes.push_back(read_route(ini, section));
  }
  config.admin_port = read_int(ini, "server", "admin_port", config.admin_port);
  config.admin_address = ini.get("server", "admin_address", config.admin_address);
  config.drain_timeout_ms = read_int(ini, "server", "drain_timeout_ms", config.drain_timeout_ms);
  config.admin_allow = split(ini.get("server", "admin_allow", ""), '|');
  config.engine = lower(trim(ini.get("server", "engine", config.engine)));
  config.worker_threads = read_int(ini, "server", "worker_threads", config.worker_threads);
  validate_server_config(config);
  return config;
}

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
}

}  // namespace tarnwicket
