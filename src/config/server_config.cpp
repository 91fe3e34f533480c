#include "config/server_config.h"

#include <stdexcept>
#include <string_view>
#include <utility>

#include "config/ini.h"
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
  route.new_clients_per_second =
      read_int(ini, section, "new_clients_per_second", route.new_clients_per_second);
  route.new_clients_per_address_per_second = read_int(
      ini, section, "new_clients_per_address_per_second", route.new_clients_per_address_per_second);
  route.deny = split(ini.get(section, "deny", ""), '|');
  route.udp_datagrams_per_second_per_client =
      read_int(ini, section, "udp_datagrams_per_second_per_client",
               route.udp_datagrams_per_second_per_client);
  route.udp_evict_unconfirmed =
      ini.get_bool(section, "udp_evict_unconfirmed", route.udp_evict_unconfirmed);
  return route;
}

}  // namespace

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
  config.log_refusals = lower(trim(ini.get("server", "log_refusals", config.log_refusals)));
  config.session_log = trim(ini.get("server", "session_log", config.session_log));
  config.session_log_format =
      lower(trim(ini.get("server", "session_log_format", config.session_log_format)));
  config.session_log_address =
      lower(trim(ini.get("server", "session_log_address", config.session_log_address)));
  config.log_format = lower(trim(ini.get("server", "log_format", config.log_format)));
  validate_server_config(config);
  return config;
}

}  // namespace tarnwicket
