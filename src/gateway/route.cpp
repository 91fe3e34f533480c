#include "gateway/route.h"

#include <arpa/inet.h>

#include <stdexcept>

#include "log/logger.h"
#include "net/datagram.h"
#include "net/fd.h"
#include "net/stream.h"
#include "net/transparent.h"

namespace tarnwicket {

namespace {

constexpr int kListenBacklog = 4096;

// IPv6 addresses in brackets, so that the port stays apart.
std::string_view open_bracket(const std::string& host) {
  return host.find(':') == std::string::npos ? "" : "[";
}
std::string_view close_bracket(const std::string& host) {
  return host.find(':') == std::string::npos ? "" : "]";
}

bool is_wildcard(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET6) {
    return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
  }
  return reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr == htonl(INADDR_ANY);
}

}  // namespace

void check_transparent(const ServerRoute& route) {
  if (route.transparent && !may_use_transparent()) {
    throw std::runtime_error("线路 " + route.name + " 无法使用 transparent: 需要 CAP_NET_ADMIN");
  }
}

RouteSettings::RouteSettings(const ServerRoute& r, const ServerConfig& config)
    : route(r),
      connection_timeout_ms(r.connection_timeout_ms.value_or(config.connection_timeout_ms)),
      udp_idle_timeout_ms(r.udp_idle_timeout_ms.value_or(config.udp_idle_timeout_ms)),
      summarize_refusals(config.log_refusals == "summary") {
  for (const std::string& entry : r.allow) allow.push_back(parse_network(entry).value());
  for (const std::string& entry : r.deny) deny.push_back(parse_network(entry).value());
  for (const std::string& entry : r.trusted_proxies) {
    trusted_proxies.push_back(parse_network(entry).value());
  }
}

Route::Route(const ServerRoute& r, const ServerConfig& config)
    : name(r.name), settings_(std::make_shared<const RouteSettings>(r, config)) {}

Route::~Route() {
  relay.reset();
  close_tcp();
  close_udp();
}

Settings Route::settings() const {
  std::lock_guard lock(settings_mutex_);
  return settings_;
}

void Route::set_settings(Settings next) {
  std::lock_guard lock(settings_mutex_);
  settings_ = std::move(next);
}

bool Route::serves_tcp() const {
  const std::string& protocol = settings()->route.protocol;
  return protocol == "tcp" || protocol == "both";
}

bool Route::serves_udp() const {
  const std::string& protocol = settings()->route.protocol;
  return protocol == "udp" || protocol == "both";
}

void Route::open_tcp(const sockaddr_storage& address) {
  if (!serves_tcp() || tcp_fd >= 0) return;
  UniqueFd listener = open_tcp_listener(address, settings()->route.listen_port, kListenBacklog);
  if (!listener) throw std::runtime_error("TCP 监听失败: " + name);
  tcp_fd = listener.release();
}

void Route::open_udp(const sockaddr_storage& address, Logger& logger) {
  if (!serves_udp() || udp_fd >= 0) return;
  UniqueFd socket = open_udp_socket(address, settings()->route.listen_port);
  if (!socket) throw std::runtime_error("UDP 监听失败: " + name);
  udp_wildcard = is_wildcard(address);
  if (udp_wildcard) report_destination_address(socket.get());
  udp_fd = socket.release();
  size_udp_buffer(logger);
}

void Route::close_tcp() { shutdown_and_close(tcp_fd); }

void Route::close_udp() { shutdown_and_close(udp_fd); }

void Route::size_udp_buffer(Logger& logger) const {
  const int asked = settings()->route.udp_receive_buffer_bytes;
  if (udp_fd < 0 || asked <= 0) return;
  const int granted = set_receive_buffer(udp_fd, asked);
  if (granted < asked) {
    logger.warn("route ", name, " UDP receive buffer is ", std::to_string(granted),
                " bytes, less than asked");
  }
}

void Route::log_listening(Logger& logger, const std::string& listen_address) const {
  const ServerRoute& route = settings()->route;
  const std::string& target = route.target_host;
  logger.info("server route ", route.name, " [", route.protocol, "] listening ",
              open_bracket(listen_address), listen_address, close_bracket(listen_address), ":",
              std::to_string(route.listen_port), " -> ", open_bracket(target), target,
              close_bracket(target), ":", std::to_string(route.target_port));
}

}  // namespace tarnwicket
