// The UDP side: one association per client address and port, each with its
// own connected upstream socket and a thread that sends the replies back.

#include <cerrno>
#include <stdexcept>

#include "gateway/gateway.h"
#include "gateway/proxy_protocol.h"
#include "net/address.h"
#include "net/datagram.h"
#include "net/stream.h"

namespace tarnwicket {

namespace {

constexpr std::size_t kDatagramBytes = 65536;
constexpr std::chrono::milliseconds kResourceBackoff{100};

void set_port(sockaddr_storage& address, int port) {
  const auto port_be = htons(static_cast<std::uint16_t>(port));
  if (address.ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6&>(address).sin6_port = port_be;
  } else {
    reinterpret_cast<sockaddr_in&>(address).sin_port = port_be;
  }
}

}  // namespace

void Gateway::udp_loop(RouteRuntime* rt) {
  const std::string& name = rt->name;
  char buffer[kDatagramBytes];
  char key_buffer[kClientKeyBytes];
  while (serving(rt->receiving)) {
    sockaddr_storage from{};
    socklen_t from_len = sizeof from;
    sockaddr_storage destination{};
    const ssize_t n = recv_from(rt->udp_fd, buffer, sizeof buffer, from, from_len,
                                rt->udp_wildcard ? &destination : nullptr);
    if (n < 0) {
      const int err = errno;
      if (!serving(rt->receiving)) return;
      logger_.warn("UDP recvfrom failed on route ", name);
      if (is_unusable_socket_error(err)) return;
      if (is_resource_error(err)) pause_unless_stopping(kResourceBackoff);
      continue;
    }
    // A shut-down socket reads as an empty datagram; while running, an empty
    // datagram is a client's and is relayed like any other.
    if (n == 0 && !serving(rt->receiving)) return;
    try {
      // An IPv4 client of a dual-stack socket is keyed, counted and named as
      // IPv4; replies still go to the address as received.
      const sockaddr_storage* client = &from;
      socklen_t client_len = from_len;
      sockaddr_storage client_ipv4;
      if (from.ss_family == AF_INET6) {
        client_ipv4 = from;
        unmap_ipv4(client_ipv4, client_len);
        client = &client_ipv4;
      }
      const std::string_view key = client_key(*client, client_len, key_buffer);
      std::shared_ptr<UdpAssociation> association = find_association(*rt, key);
      if (!association) {
        association = new_association(*rt, key, from, from_len, *client, destination);
      }
      if (!association) continue;
      // The shared reference keeps the socket open until this send is done.
      const std::size_t size = static_cast<std::size_t>(n);
      const std::string& prefix = association->proxy_prefix;
      const ssize_t sent =
          prefix.empty() ? send_datagram(association->upstream_fd, buffer, size)
                         : send_datagram_after(association->upstream_fd, prefix, buffer, size);
      if (sent < 0) {
        add(rt->stats.udp_dropped_send_failed);
        logger_.warn("UDP send upstream failed on route ", name);
      } else {
        add(rt->stats.udp_datagrams_client_to_server);
        add(rt->stats.udp_bytes_client_to_server, static_cast<std::uint64_t>(n));
      }
    } catch (const std::exception& e) {
      logger_.warn("UDP route ", name, " packet failed: ", e.what());
    } catch (...) {
      // Only this datagram is given up.
    }
  }
}

std::shared_ptr<Gateway::UdpAssociation> Gateway::find_association(RouteRuntime& rt,
                                                                   std::string_view key) {
  std::lock_guard lock(rt.udp_mutex);
  auto it = rt.associations.find(key);
  return it == rt.associations.end() ? nullptr : it->second;
}

std::shared_ptr<Gateway::UdpAssociation> Gateway::new_association(
    RouteRuntime& rt, std::string_view key, const sockaddr_storage& from, socklen_t from_len,
    const sockaddr_storage& client, const sockaddr_storage& destination) {
  // Only this thread adds associations, so the table cannot gain one between
  // the look-up and the insertion below; it can only lose some.
  // Stop, a drain or the closing of the route has begun: no new association that it would miss.
  if (!serving(rt.receiving) || draining_.load()) return nullptr;
  // The association keeps the settings it was made under, whatever a reload does.
  const Settings settings = rt.settings();
  const ServerRoute& route = settings->route;
  auto association = std::make_shared<UdpAssociation>();
  if (route.max_connections_per_address > 0) association->address = address_key(client);
  if (!admit(rt, *settings, client, rt.udp_addresses, association->address,
             rt.stats.udp_dropped_per_address, rt.stats.udp_dropped_allow_list)) {
    return nullptr;
  }
  association->counts = &rt.udp_addresses;  // given back when the association goes
  {
    std::lock_guard lock(rt.udp_mutex);
    if (rt.associations.size() >= static_cast<std::size_t>(route.max_connections)) {
      add(rt.stats.udp_dropped_limit);
      logger_.warn("UDP association limit reached on route ", rt.name);
      return nullptr;
    }
  }
  association->key = key;
  association->client_addr = from;
  association->client_addr_len = from_len;
  association->local_addr = destination;
  if (route.proxy_protocol == "v2") {
    // The address the client sent to: reported per datagram on a wildcard socket.
    sockaddr_storage local =
        destination.ss_family == AF_UNSPEC ? local_address(rt.udp_fd) : unmapped(destination);
    set_port(local, route.listen_port);
    association->proxy_prefix = proxy_header_v2(client, local, true);
  }
  if (route.udp_first_reply_timeout_ms > 0)
    association->idle_timeout_ms = settings->udp_idle_timeout_ms;
  // Resolving may wait on the network: never under udp_mutex.
  association->upstream_fd = connect_upstream_udp(*settings, rt.stats);
  std::lock_guard lock(rt.udp_mutex);
  if (!serving(rt.receiving) || draining_.load()) return nullptr;
  auto filed = rt.associations.emplace(association->key, association).first;
  try {
    rt.udp_threads.spawn([this, &rt, association] { udp_response_loop(&rt, association); });
  } catch (...) {
    rt.associations.erase(filed);
    throw;
  }
  add(rt.stats.udp_created);
  add(rt.stats.udp_open, 1);
  return association;
}

int Gateway::connect_upstream_udp(const RouteSettings& settings, RouteStats& stats) {
  const ServerRoute& route = settings.route;
  AddrinfoList list = resolve_target(route.target_host, route.target_port, SOCK_DGRAM, IPPROTO_UDP);
  if (!list) {
    add(stats.udp_connect_failures);
    throw std::runtime_error("解析 UDP 上游地址失败");
  }
  for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
    UniqueFd fd = connect_to(*entry);
    if (!fd) continue;
    // Only upstream traffic keeps an association alive.
    // The idle time-out, or the shorter wait for a first reply.
    const int first = route.udp_first_reply_timeout_ms;
    set_receive_timeout(fd.get(), first > 0 ? first : settings.udp_idle_timeout_ms);
    return fd.release();
  }
  add(stats.udp_connect_failures);
  throw std::runtime_error("连接 UDP 上游失败 " + route.target_host + ":" +
                           std::to_string(route.target_port));
}

void Gateway::udp_response_loop(RouteRuntime* rt,
                                const std::shared_ptr<UdpAssociation>& association) {
  char buffer[kDatagramBytes];
  bool answered = false;
  while (serving(rt->receiving)) {
    const ssize_t n = recv_some(association->upstream_fd, buffer, sizeof buffer);
    // Time-out, error, or the shutdown by stop() or the route's closing; an
    // empty datagram from the upstream while serving is relayed like any other.
    if (n < 0 || (n == 0 && !serving(rt->receiving))) break;
    if (!answered && association->idle_timeout_ms > 0) {
      set_receive_timeout(association->upstream_fd, association->idle_timeout_ms);
    }
    answered = true;
    if (send_datagram_to(rt->udp_fd, buffer, static_cast<std::size_t>(n), association->client_addr,
                         association->client_addr_len, &association->local_addr) < 0) {
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
