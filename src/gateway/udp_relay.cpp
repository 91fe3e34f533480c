// The UDP side: one association per client address and port, each with its
// own connected upstream socket and a thread that sends the replies back.

#include <cerrno>
#include <stdexcept>

#include "gateway/gateway.h"
#include "gateway/socket_util.h"

namespace tarnwicket {

namespace {

constexpr std::size_t kDatagramBytes = 65536;
constexpr std::chrono::milliseconds kResourceBackoff{100};

}  // namespace

void Gateway::udp_loop(RouteRuntime* rt) {
  const std::string& name = rt->route.name;
  char buffer[kDatagramBytes];
  char key_buffer[kClientKeyBytes];
  while (running_.load()) {
    sockaddr_storage from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = recv_from(rt->udp_fd, buffer, sizeof buffer, from, from_len);
    if (n < 0) {
      const int err = errno;
      if (!running_.load()) return;
      logger_.warn("UDP recvfrom failed on route " + name);
      if (is_unusable_socket_error(err)) return;
      if (is_resource_error(err)) pause_unless_stopping(kResourceBackoff);
      continue;
    }
    // A shut-down socket reads as an empty datagram; while running, an empty
    // datagram is a client's and is relayed like any other.
    if (n == 0 && !running_.load()) return;
    try {
      std::shared_ptr<UdpAssociation> association;
      {
        const std::string_view key = client_key(from, from_len, key_buffer);
        std::lock_guard lock(rt->udp_mutex);
        auto it = rt->associations.find(key);
        if (it != rt->associations.end()) {
          association = it->second;
        } else if (!running_.load()) {
          continue;  // stop has begun: no new association that it would miss
        } else if (rt->associations.size() >= static_cast<std::size_t>(rt->route.max_connections)) {
          add(rt->stats.udp_dropped_limit);
          logger_.warn("UDP association limit reached on route " + name);
          continue;
        } else {
          association = std::make_shared<UdpAssociation>();
          association->key = key;
          association->client_addr = from;
          association->client_addr_len = from_len;
          association->upstream_fd = connect_upstream_udp(rt->route, rt->stats);
          auto filed = rt->associations.emplace(association->key, association).first;
          try {
            rt->udp_threads.spawn([this, rt, association] { udp_response_loop(rt, association); });
          } catch (...) {
            rt->associations.erase(filed);
            throw;
          }
          add(rt->stats.udp_created);
          add(rt->stats.udp_open, 1);
        }
      }
      // The shared reference keeps the socket open until this send is done.
      if (send_datagram(association->upstream_fd, buffer, static_cast<std::size_t>(n)) < 0) {
        add(rt->stats.udp_dropped_send_failed);
        logger_.warn("UDP send upstream failed on route " + name);
      } else {
        add(rt->stats.udp_datagrams_client_to_server);
        add(rt->stats.udp_bytes_client_to_server, static_cast<std::uint64_t>(n));
      }
    } catch (const std::exception& e) {
      logger_.warn("UDP route " + name + " packet failed: " + e.what());
    }
  }
}

int Gateway::connect_upstream_udp(const ServerRoute& route, RouteStats& stats) {
  AddrinfoList list = resolve_ipv4(route.target_host, route.target_port, SOCK_DGRAM, IPPROTO_UDP);
  if (!list) {
    add(stats.udp_connect_failures);
    throw std::runtime_error("解析 UDP 上游地址失败");
  }
  for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
    UniqueFd fd = connect_to(*entry);
    if (!fd) continue;
    // The idle time-out: only upstream traffic keeps an association alive.
    set_timeouts(fd.get(), config_.udp_idle_timeout_ms, true, false);
    return fd.release();
  }
  add(stats.udp_connect_failures);
  throw std::runtime_error("连接 UDP 上游失败 " + route.target_host + ":" +
                           std::to_string(route.target_port));
}

void Gateway::udp_response_loop(RouteRuntime* rt,
                                const std::shared_ptr<UdpAssociation>& association) {
  char buffer[kDatagramBytes];
  while (running_.load()) {
    const ssize_t n = recv_some(association->upstream_fd, buffer, sizeof buffer);
    // Time-out, error, or the shutdown by stop(); an empty datagram from the
    // upstream while running is relayed like any other.
    if (n < 0 || (n == 0 && !running_.load())) break;
    if (send_datagram_to(rt->udp_fd, buffer, static_cast<std::size_t>(n), association->client_addr,
                         association->client_addr_len) < 0) {
      add(rt->stats.udp_dropped_send_failed);
    } else {
      add(rt->stats.udp_datagrams_server_to_client);
      add(rt->stats.udp_bytes_server_to_client, static_cast<std::uint64_t>(n));
    }
  }
  // A datagram still on its way out fails instead of using a closed socket;
  // the socket itself is closed when the last reference goes.
  shutdown_fd(association->upstream_fd);
  add(rt->stats.udp_open, -1);
  std::lock_guard lock(rt->udp_mutex);
  auto it = rt->associations.find(association->key);
  if (it != rt->associations.end() && it->second == association) rt->associations.erase(it);
}

}  // namespace tarnwicket
