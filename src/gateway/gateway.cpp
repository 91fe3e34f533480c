#include "gateway/gateway.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <unistd.h>

#include <stdexcept>

#include "gateway/admin_server.h"
#include "gateway/socket_util.h"

namespace tarnwicket {

namespace {

constexpr int kListenBacklog = 4096;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kWorkerStackBytes = 1024 * 1024;  // sanitizers need room for their frames
#else
// Room for a 64 KiB relay buffer plus the resolver; only touched pages cost memory.
constexpr std::size_t kWorkerStackBytes = 256 * 1024;
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
}

Gateway::Gateway(ServerConfig config) : config_(std::move(config)) {
  validate_server_config(config_);
  for (const ServerRoute& route : config_.routes) {
    if (route.enabled) routes_.push_back(std::make_unique<RouteRuntime>(route));
  }
}

Gateway::~Gateway() { stop(); }

void Gateway::start() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  if (running_.exchange(true)) return;
  in_addr address{};
  if (inet_pton(AF_INET, config_.listen_address.c_str(), &address) != 1) {
    running_ = false;
    throw std::runtime_error("listen_address 目前只支持 IPv4 地址: " + config_.listen_address);
  }
  use_modest_thread_stacks();
  try {
    for (auto& rt : routes_) open_route(*rt, address.s_addr);
    if (config_.admin_port != 0) {
      in_addr admin{};
      inet_pton(AF_INET, config_.admin_address.c_str(), &admin);  // checked by the rules
      open_admin(admin.s_addr);
    }
  } catch (...) {
    stop_locked();
    throw;
  }
  ready_ = true;
}

void Gateway::open_route(RouteRuntime& rt, std::uint32_t address) {
  const ServerRoute& route = rt.route;
  if (route.protocol == "tcp" || route.protocol == "both") {
    UniqueFd listener = open_tcp_listener(address, route.listen_port, kListenBacklog);
    if (!listener) throw std::runtime_error("TCP 监听失败: " + route.name);
    rt.tcp_fd = listener.release();
    rt.tcp_thread = std::thread(&Gateway::accept_loop, this, &rt);
  }
  if (route.protocol == "udp" || route.protocol == "both") {
    UniqueFd socket = open_udp_socket(address, route.listen_port);
    if (!socket) throw std::runtime_error("UDP 监听失败: " + route.name);
    rt.udp_fd = socket.release();
    rt.udp_thread = std::thread(&Gateway::udp_loop, this, &rt);
  }
  logger_.info("server route " + route.name + " [" + route.protocol + "] listening " +
               config_.listen_address + ":" + std::to_string(route.listen_port) + " -> " +
               route.target_host + ":" + std::to_string(route.target_port));
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
  for (auto& rt : routes_) {
    if (rt->tcp_thread.joinable()) rt->tcp_thread.join();
    if (rt->udp_thread.joinable()) rt->udp_thread.join();
    rt->udp_threads.join_all();
    {
      // The accept thread is gone, so this list can only shrink now.
      std::lock_guard lock(rt->tcp_mutex);
      for (int fd : rt->client_fds) shutdown_fd(fd);
    }
    rt->client_threads.join_all();
    // Closed only now: response threads send replies from udp_fd until joined.
    shutdown_and_close(rt->tcp_fd);
    shutdown_and_close(rt->udp_fd);
  }
  logger_.info("server stopped");
}

void Gateway::pause_unless_stopping(std::chrono::milliseconds pause) {
  std::unique_lock lock(pause_mutex_);
  pause_cv_.wait_for(lock, pause, [this] { return !running_.load(); });
}

}  // namespace tarnwicket
