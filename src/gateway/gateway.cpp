#include "gateway/gateway.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <unistd.h>

#include <charconv>
#include <stdexcept>

#include "gateway/admin_server.h"
#include "net/address.h"
#include "net/datagram.h"
#include "net/stream.h"

namespace tarnwicket {

namespace {

constexpr int kListenBacklog = 4096;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizers need room for their frames.
constexpr std::size_t kWorkerStackBytes = std::size_t{1024} * 1024;
#else
// Room for a 64 KiB relay buffer plus the resolver; only touched pages cost memory.
constexpr std::size_t kWorkerStackBytes = std::size_t{256} * 1024;
#endif

// Thousands of connections with three threads each do not fit in 8 MiB stacks.
void use_modest_thread_stacks() {
  static std::once_flag once;
  std::call_once(once, [] {
    pthread_attr_t attr;
    if (pthread_getattr_default_np(&attr) != 0) return;
    if (pthread_attr_setstacksize(&attr, kWorkerStackBytes) == 0) {
      pthread_setattr_default_np(&attr);
    }
    pthread_attr_destroy(&attr);
  });
}

}  // namespace

Gateway::UdpAssociation::~UdpAssociation() {
  if (upstream_fd >= 0) ::close(upstream_fd);
  if (counts != nullptr && !address.empty()) counts->remove(address);
}

Gateway::RouteSettings::RouteSettings(const ServerRoute& r, const ServerConfig& config)
    : route(r),
      connection_timeout_ms(config.connection_timeout_ms),
      udp_idle_timeout_ms(config.udp_idle_timeout_ms) {
  for (const std::string& entry : r.allow) allow.push_back(parse_network(entry).value());
  for (const std::string& entry : r.trusted_proxies) {
    trusted_proxies.push_back(parse_network(entry).value());
  }
}

Gateway::RouteRuntime::RouteRuntime(const ServerRoute& r, const ServerConfig& config)
    : name(r.name),
      available_slots(r.max_connections),
      settings_(std::make_shared<const RouteSettings>(r, config)) {}

Gateway::RouteRuntime::~RouteRuntime() {
  // Their threads use the members declared after them.
  udp_threads.join_all();
  client_threads.join_all();
  shutdown_and_close(tcp_fd);
  shutdown_and_close(udp_fd);
}

Gateway::Settings Gateway::RouteRuntime::settings() const {
  std::lock_guard lock(settings_mutex_);
  return settings_;
}

void Gateway::RouteRuntime::set_settings(Settings next) {
  std::lock_guard lock(settings_mutex_);
  settings_ = std::move(next);
}

Gateway::Gateway(ServerConfig config) : config_(std::move(config)) {
  validate_server_config(config_);
  for (const ServerRoute& route : config_.routes) {
    if (route.enabled) routes_.push_back(std::make_unique<RouteRuntime>(route, config_));
  }
}

Gateway::~Gateway() { stop(); }

void Gateway::start() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  if (running_.exchange(true)) return;
  const auto address = parse_ip_address(config_.listen_address);
  if (!address) {
    running_ = false;
    throw std::runtime_error("listen_address 目前只支持 IPv4 地址: " + config_.listen_address);
  }
  use_modest_thread_stacks();
  draining_ = false;
  try {
    for (auto& rt : routes_) {
      open_listeners(*rt, *address);
      launch(*rt, config_.listen_address);
    }
    if (config_.admin_port != 0) admin_ = open_admin(config_);
    start_refusal_log_if_needed();
  } catch (...) {
    stop_locked();
    throw;
  }
  ready_ = true;
}

namespace {

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

void Gateway::open_listeners(RouteRuntime& rt, const sockaddr_storage& address) {
  const Settings settings = rt.settings();
  const ServerRoute& route = settings->route;
  rt.client_fds.reopen();
  rt.accepting = true;
  rt.receiving = true;
  if (route.protocol == "tcp" || route.protocol == "both") {
    UniqueFd listener = open_tcp_listener(address, route.listen_port, kListenBacklog);
    if (!listener) throw std::runtime_error("TCP 监听失败: " + route.name);
    rt.tcp_fd = listener.release();
  }
  if (route.protocol == "udp" || route.protocol == "both") {
    UniqueFd socket = open_udp_socket(address, route.listen_port);
    if (!socket) throw std::runtime_error("UDP 监听失败: " + route.name);
    rt.udp_wildcard = is_wildcard(address);
    if (rt.udp_wildcard) report_destination_address(socket.get());
    const int asked = route.udp_receive_buffer_bytes;
    if (asked > 0) {
      const int granted = set_receive_buffer(socket.get(), asked);
      if (granted < asked) {
        logger_.warn("route ", route.name, " UDP receive buffer is ", std::to_string(granted),
                     " bytes, less than asked");
      }
    }
    rt.udp_fd = socket.release();
  }
}

void Gateway::launch(RouteRuntime& rt, const std::string& listen_address) {
  const Settings settings = rt.settings();
  const ServerRoute& route = settings->route;
  if (rt.tcp_fd >= 0) rt.tcp_thread = std::thread(&Gateway::accept_loop, this, &rt);
  if (rt.udp_fd >= 0) rt.udp_thread = std::thread(&Gateway::udp_loop, this, &rt);
  const std::string& target = route.target_host;
  logger_.info("server route ", route.name, " [", route.protocol, "] listening ",
               open_bracket(listen_address), listen_address, close_bracket(listen_address), ":",
               std::to_string(route.listen_port), " -> ", open_bracket(target), target,
               close_bracket(target), ":", std::to_string(route.target_port));
}

void Gateway::start_refusal_log_if_needed() {
  if (refusal_log_thread_.joinable()) return;
  for (const auto& rt : routes_) {
    const Settings settings = rt->settings();
    if (!settings->allow.empty() || settings->route.max_connections_per_address > 0 ||
        settings->route.accept_proxy_protocol) {
      refusal_log_thread_ = std::thread(&Gateway::refusal_log_loop, this);
      return;
    }
  }
}

void Gateway::stop() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  stop_locked();
}

void Gateway::stop_locked() {
  if (!running_.exchange(false)) return;
  ready_ = false;
  admin_.reset();  // stops and joins it
  {
    // Wakes workers backing off after a resource failure.
    std::lock_guard lock(pause_mutex_);
  }
  pause_cv_.notify_all();

  // Wake every listener and association first, so all routes wind down at once.
  for (auto& rt : routes_) {
    shutdown_fd(rt->tcp_fd);
    shutdown_fd(rt->udp_fd);
    std::lock_guard lock(rt->udp_mutex);
    for (auto& entry : rt->associations) shutdown_fd(entry.second->upstream_fd);
  }
  for (auto& rt : retired_) rt->client_fds.shutdown_all();
  if (refusal_log_thread_.joinable()) refusal_log_thread_.join();
  for (auto& rt : routes_) {
    if (rt->tcp_thread.joinable()) rt->tcp_thread.join();
    if (rt->udp_thread.joinable()) rt->udp_thread.join();
    rt->udp_threads.join_all();
    rt->client_fds.shutdown_all();
    rt->client_threads.join_all();
    // Closed only now: response threads send replies from udp_fd until joined.
    shutdown_and_close(rt->tcp_fd);
    shutdown_and_close(rt->udp_fd);
  }
  for (auto& rt : retired_) rt->client_threads.join_all();
  retired_.clear();
  log_refusals();
  logger_.info("server stopped");
}

void Gateway::log_refusals() {
  std::lock_guard lock(routes_mutex_);
  for (auto& rt : routes_) {
    const std::pair<RefusalTally*, const char*> reasons[] = {
        {&rt->per_address_refusals, "per-address limit"},
        {&rt->allow_refusals, "allow list"},
        {&rt->bad_proxy_header_refusals, "bad PROXY header"},
        {&rt->untrusted_proxy_refusals, "untrusted proxy"}};
    for (const auto& [tally, reason] : reasons) {
      const std::uint64_t count = tally->take();
      if (count == 0) continue;
      char digits[24];
      const char* end = std::to_chars(digits, digits + sizeof digits, count).ptr;
      logger_.warn("route ", rt->name, " refused ",
                   std::string_view(digits, static_cast<std::size_t>(end - digits)),
                   " clients: ", reason);
    }
  }
}

void Gateway::refusal_log_loop() {
  constexpr std::chrono::seconds kRefusalLogPeriod{1};
  while (running_.load()) {
    pause_unless_stopping(kRefusalLogPeriod);
    if (running_.load()) log_refusals();
  }
}

void Gateway::pause_unless_stopping(std::chrono::milliseconds pause) {
  std::unique_lock lock(pause_mutex_);
  pause_cv_.wait_for(lock, pause, [this] { return !running_.load(); });
}

}  // namespace tarnwicket
