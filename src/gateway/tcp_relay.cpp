// The TCP side: accept within the route's limit, connect upstream, and pump
// bytes both ways on two threads until either direction ends.

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "gateway/gateway.h"
#include "gateway/proxy_protocol.h"
#include "net/address.h"
#include "net/stream.h"

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

}  // namespace

void Gateway::accept_loop(RouteRuntime* rt) {
  const std::string& name = rt->name;
  while (serving(rt->accepting)) {
    sockaddr_storage from{};
    UniqueFd client(accept_client(rt->tcp_fd, from));
    if (!client) {
      const int err = errno;
      if (!serving(rt->accepting)) return;  // the listener was shut down to close it
      logger_.warn("accept failed on route ", name);
      if (is_unusable_socket_error(err)) return;
      if (is_resource_error(err)) pause_unless_stopping(kResourceBackoff);
      continue;
    }
    try {
      socklen_t from_len = sizeof from;
      unmap_ipv4(from, from_len);
      // The connection keeps the settings it came in under, whatever a reload does.
      const Settings settings = rt->settings();
      const ServerRoute& route = settings->route;
      std::string address;
      if (route.accept_proxy_protocol) {
        // Only a trusted balancer may speak for its clients; which client it
        // speaks for is read in the client's own thread, and admitted there.
        if (!allowed(settings->trusted_proxies, from)) {
          add(rt->stats.tcp_refused_untrusted_proxy);
          rt->untrusted_proxy_refusals.add();
          shutdown_fd(client.get());
          continue;
        }
      } else {
        if (route.max_connections_per_address > 0) address = address_key(from);
        if (!admit(*rt, *settings, from, rt->tcp_addresses, address,
                   rt->stats.tcp_refused_per_address, rt->stats.tcp_refused_allow_list)) {
          shutdown_fd(client.get());
          continue;
        }
      }
      if (!take_slot(rt->available_slots)) {
        if (!address.empty()) rt->tcp_addresses.remove(address);
        add(rt->stats.tcp_refused_limit);
        shutdown_fd(client.get());
        client.reset();
        logger_.warn("connection limit reached on route ", name);
        continue;
      }
      add(rt->stats.tcp_accepted);
      add(rt->stats.tcp_open, 1);
      spawn_client(*rt, settings, std::move(client), address, from);
    } catch (const std::exception& e) {
      logger_.warn("route ", name, " connection closed: ", e.what());
    } catch (...) {
      // Nothing that fails for one client may end the route's intake.
    }
  }
}

void Gateway::spawn_client(RouteRuntime& rt, const Settings& settings, UniqueFd client,
                           const std::string& address, const sockaddr_storage& from) {
  try {
    ListedFd listed(rt.client_fds, std::move(client));
    rt.client_threads.spawn(
        [this, &rt, settings, listed = std::move(listed), address, from]() mutable {
          handle_client(rt, *settings, std::move(listed), address, from);
        });
  } catch (...) {
    // The client socket is closed by now, whichever step failed.
    if (!address.empty()) rt.tcp_addresses.remove(address);
    rt.available_slots.fetch_add(1);
    add(rt.stats.tcp_open, -1);
    throw;
  }
}

bool Gateway::admit(RouteRuntime& rt, const RouteSettings& settings, const sockaddr_storage& from,
                    AddressCounts& counts, const std::string& address, Counter& refused_per_address,
                    Counter& refused_allow) {
  if (!allowed(settings.allow, from)) {
    add(refused_allow);
    rt.allow_refusals.add();
    return false;
  }
  if (!address.empty() && !counts.try_add(address, settings.route.max_connections_per_address)) {
    add(refused_per_address);
    rt.per_address_refusals.add();
    return false;
  }
  return true;
}

bool Gateway::admit_proxied(RouteRuntime& rt, const RouteSettings& settings, int client_fd,
                            std::string& address, sockaddr_storage& from) {
  const std::chrono::milliseconds limit(settings.connection_timeout_ms);
  const std::optional<ProxyHeader> header = read_proxy_header(client_fd, limit);
  set_receive_timeout(client_fd, settings.connection_timeout_ms);
  if (!header) {
    add(rt.stats.tcp_refused_bad_proxy_header);
    rt.bad_proxy_header_refusals.add();
    return false;
  }
  // A LOCAL header is the balancer's own connection, a health check.
  if (!header->local) from = unmapped(header->source);
  if (settings.route.max_connections_per_address > 0) address = address_key(from);
  if (!admit(rt, settings, from, rt.tcp_addresses, address, rt.stats.tcp_refused_per_address,
             rt.stats.tcp_refused_allow_list)) {
    address.clear();  // not counted, so not to be given back
    return false;
  }
  return true;
}

void Gateway::handle_client(RouteRuntime& rt, const RouteSettings& settings, ListedFd client,
                            std::string address, sockaddr_storage from) {
  const ServerRoute& route = settings.route;
  set_receive_timeout(client.get(), settings.connection_timeout_ms);
  set_send_timeout(client.get(), settings.connection_timeout_ms);
  set_nodelay(client.get());
  try {
    const bool proxied = route.accept_proxy_protocol;
    sockaddr_storage local{};
    if (proxied || route.proxy_protocol != "off") local = unmapped(local_address(client.get()));
    if (!proxied || admit_proxied(rt, settings, client.get(), address, from)) {
      ListedFd upstream = connect_upstream(rt, settings, from, local);
      relay(client.get(), upstream.get(), rt.name, rt.stats);
    }
  } catch (const std::exception& e) {
    logger_.warn("route ", rt.name, " connection closed: ", e.what());
  } catch (...) {
    // Only this connection is given up; the slot must still come back.
  }
  // Before the client's close, so that a client that sees it may retry at once.
  if (!address.empty()) rt.tcp_addresses.remove(address);
  rt.available_slots.fetch_add(1);
  add(rt.stats.tcp_open, -1);
}

ListedFd Gateway::connect_upstream(RouteRuntime& rt, const RouteSettings& settings,
                                   const sockaddr_storage& from, const sockaddr_storage& local) {
  const ServerRoute& route = settings.route;
  AddrinfoList list =
      resolve_target(route.target_host, route.target_port, SOCK_STREAM, IPPROTO_TCP);
  if (!list) {
    add(rt.stats.tcp_connect_failures);
    throw std::runtime_error("解析 TCP 上游地址失败");
  }
  for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
    UniqueFd fd = open_socket_for(*entry);
    if (!fd) continue;
    // The send time-out bounds the connect and, later, a pump blocked sending
    // to an upstream that reads nothing. No receive time-out: a quiet game
    // server keeps its connection. Listed before the connect, so that stop()
    // aborts a connect in progress and wakes a blocked pump.
    set_send_timeout(fd.get(), settings.connection_timeout_ms);
    ListedFd upstream(rt.client_fds, std::move(fd));
    if (!connect_socket(upstream.get(), *entry)) continue;
    if (route.proxy_protocol != "off") {
      const std::string header = route.proxy_protocol == "v1" ? proxy_header_v1(from, local)
                                                              : proxy_header_v2(from, local, false);
      if (!send_all(upstream.get(), header.data(), header.size())) {
        throw std::runtime_error("向 TCP 上游发送 PROXY 头失败");
      }
    }
    return upstream;
  }
  add(rt.stats.tcp_connect_failures);
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
    logger_.info("route ", route_name, " relay ended ", args.label);
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
