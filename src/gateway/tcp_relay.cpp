// The TCP side: accept within the route's limit, connect upstream, and pump
// bytes both ways on two threads until either direction ends.

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "gateway/gateway.h"
#include "gateway/socket_util.h"

namespace tarnwicket {

namespace {

constexpr std::size_t kRelayChunkBytes = 65536;
constexpr std::chrono::milliseconds kResourceBackoff{100};

bool take_slot(std::atomic<std::int32_t>& slots) {
  std::int32_t free_slots = slots.load();
  while (free_slots > 0) {
    if (slots.compare_exchange_weak(free_slots, free_slots - 1)) return true;
  }
  return false;
}

void list_descriptor(Gateway::RouteRuntime& rt, int fd) {
  std::lock_guard lock(rt.tcp_mutex);
  rt.client_fds.push_back(fd);
}

void forget_client(Gateway::RouteRuntime& rt, int fd) {
  std::lock_guard lock(rt.tcp_mutex);
  auto it = std::find(rt.client_fds.begin(), rt.client_fds.end(), fd);
  if (it != rt.client_fds.end()) rt.client_fds.erase(it);
}

}  // namespace

void Gateway::accept_loop(RouteRuntime* rt) {
  const std::string& name = rt->route.name;
  while (running_.load()) {
    UniqueFd client(accept_client(rt->tcp_fd));
    if (!client) {
      const int err = errno;
      if (!running_.load()) return;  // the listener was shut down by stop()
      logger_.warn("accept failed on route " + name);
      if (is_unusable_socket_error(err)) return;
      if (is_resource_error(err)) pause_unless_stopping(kResourceBackoff);
      continue;
    }
    if (!take_slot(rt->available_slots)) {
      shutdown_fd(client.get());
      client.reset();
      add(rt->stats.tcp_refused_limit);
      logger_.warn("connection limit reached on route " + name);
      continue;
    }
    const int fd = client.get();
    add(rt->stats.tcp_accepted);
    add(rt->stats.tcp_open, 1);
    try {
      list_descriptor(*rt, fd);
      rt->client_threads.spawn([this, rt, fd] { handle_client(rt, fd); });
      client.release();
    } catch (const std::exception& e) {
      forget_client(*rt, fd);
      client.reset();
      rt->available_slots.fetch_add(1);
      add(rt->stats.tcp_open, -1);
      logger_.warn("route " + name + " connection closed: " + e.what());
    }
  }
}

void Gateway::handle_client(RouteRuntime* rt, int client_fd) {
  set_timeouts(client_fd, config_.connection_timeout_ms, true, true);
  set_nodelay(client_fd);
  UniqueFd upstream;
  bool shut_down = false;  // a relay that returns has shut both sockets down
  try {
    upstream.reset(connect_upstream(rt->route, rt->stats));
    // Listed like the client, so that stop() also wakes a pump blocked
    // sending to an upstream that reads nothing.
    list_descriptor(*rt, upstream.get());
    relay(client_fd, upstream.get(), rt->route.name, rt->stats);
    shut_down = true;
  } catch (const std::exception& e) {
    logger_.warn("route " + rt->route.name + " connection closed: " + e.what());
  }
  if (upstream) forget_client(*rt, upstream.get());
  if (!shut_down) shutdown_fd(upstream.get());
  upstream.reset();
  // Out of the list before it is closed, so stop() never shuts down a number
  // that the system may already have handed to another socket. The slot goes
  // back before the close, so a client that sees its close may retry at once.
  forget_client(*rt, client_fd);
  rt->available_slots.fetch_add(1);
  add(rt->stats.tcp_open, -1);
  if (!shut_down) ::shutdown(client_fd, SHUT_RDWR);
  ::close(client_fd);
}

int Gateway::connect_upstream(const ServerRoute& route, RouteStats& stats) {
  AddrinfoList list = resolve_ipv4(route.target_host, route.target_port, SOCK_STREAM, IPPROTO_TCP);
  if (!list) {
    add(stats.tcp_connect_failures);
    throw std::runtime_error("解析 TCP 上游地址失败");
  }
  for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
    UniqueFd fd = connect_to(*entry);
    if (fd) return fd.release();
  }
  add(stats.tcp_connect_failures);
  throw std::runtime_error("连接 TCP 上游失败 " + route.target_host + ":" +
                           std::to_string(route.target_port));
}

namespace {

struct PumpArgs {
  int from;
  int to;
  const char* label;
  Counter* relayed;
};

}  // namespace

void Gateway::relay(int client_fd, int upstream_fd, const std::string& route_name,
                    RouteStats& stats) {
  std::atomic<bool> stopped{false};
  auto pump = [this, &stopped, &route_name](PumpArgs args) {
    // On the pump's own stack: pages cost memory only once data has touched them.
    char buffer[kRelayChunkBytes];
    while (!stopped.load()) {
      const ssize_t n = recv_some(args.from, buffer, sizeof buffer);
      if (n <= 0) break;
      if (!send_all(args.to, buffer, static_cast<std::size_t>(n))) break;
      add(*args.relayed, static_cast<std::uint64_t>(n));
    }
    // The first pump to end ends the other direction (no half-close). Both
    // sockets: the other pump may be blocked sending to a peer that reads
    // nothing, and only a shutdown of the socket it sends on wakes it. The
    // second finds both shut down already and makes no further calls.
    if (!stopped.exchange(true)) {
      shutdown_fd(args.to);
      shutdown_fd(args.from);
    }
    logger_.info("route " + route_name + " relay ended " + args.label);
  };
  std::thread first(
      pump, PumpArgs{client_fd, upstream_fd, "client->server", &stats.tcp_bytes_client_to_server});
  std::thread second;
  try {
    second = std::thread(pump, PumpArgs{upstream_fd, client_fd, "server->client",
                                        &stats.tcp_bytes_server_to_client});
  } catch (...) {
    stopped.store(true);
    shutdown_fd(client_fd);
    shutdown_fd(upstream_fd);
    first.join();
    throw;
  }
  first.join();
  second.join();
}

}  // namespace tarnwicket
