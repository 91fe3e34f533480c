// The UDP side: one association per client address and port, each with its
// own connected upstream socket and a thread that sends the replies back.

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "gateway/proxy_protocol.h"
#include "gateway/run_state.h"
#include "gateway/threads/thread_engine.h"
#include "gateway/udp_guard.h"
#include "log/logger.h"
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

// One UDP client (address and port) of one route.
struct ThreadRelay::UdpAssociation {
  explicit UdpAssociation(const ServerRoute& route) : guard(route) {}

  Ticket ticket;  // declared first: given back after the socket's close
  std::string key;
  UniqueFd upstream;  // connected to the upstream; fixed while the association lives
  sockaddr_storage client_addr{};
  socklen_t client_addr_len = 0;
  sockaddr_storage
      local_addr{};          // where the client sent to; replies leave from it (wildcard sockets)
  std::string proxy_prefix;  // sent upstream before every datagram; empty: none
  int idle_timeout_ms = 0;   // set on the first reply when the first wait was shorter
  UdpGuard guard;
};

void ThreadRelay::udp_loop() {
  const std::string& name = route_.name;
  ProtocolStats& stats = route_.stats.udp();
  char buffer[kDatagramBytes];
  char key_buffer[kClientKeyBytes];
  while (serving(receiving_)) {
    sockaddr_storage from{};
    socklen_t from_len = sizeof from;
    sockaddr_storage destination{};
    const ssize_t n = recv_from(route_.udp_fd, buffer, sizeof buffer, from, from_len,
                                route_.udp_wildcard ? &destination : nullptr);
    if (n < 0) {
      const int err = errno;
      if (!serving(receiving_)) return;
      logger_.warn("UDP recvfrom failed on route ", name);
      if (is_unusable_socket_error(err)) return;
      if (is_resource_error(err)) run_.pause_unless_stopping(kResourceBackoff);
      continue;
    }
    // A shut-down socket reads as an empty datagram; while running, an empty
    // datagram is a client's and is relayed like any other.
    if (n == 0 && !serving(receiving_)) return;
    try {
      sockaddr_storage client;
      const std::string_view key = udp_client(from, from_len, client, key_buffer);
      std::shared_ptr<UdpAssociation> association = find_association(key);
      if (!association) association = new_association(key, from, from_len, client, destination);
      if (!association) continue;
      if (!association->guard.take_datagram()) {
        add(stats.refused[kClientRate]);
        continue;
      }
      // The shared reference keeps the socket open until this send is done.
      const std::size_t size = static_cast<std::size_t>(n);
      const std::string& prefix = association->proxy_prefix;
      const int upstream = association->upstream.get();
      // The session counts it first: the reply may end the session before the
      // send returns here, and the record must hold the datagram it answered.
      Session& session = association->ticket.session();
      add(session.datagrams[kClientToServer]);
      add(session.bytes[kClientToServer], static_cast<std::uint64_t>(size));
      const ssize_t sent = prefix.empty() ? send_datagram(upstream, buffer, size)
                                          : send_datagram_after(upstream, prefix, buffer, size);
      if (sent < 0) {
        add(stats.refused[kSendFailed]);
        session.datagrams[kClientToServer].fetch_sub(1, std::memory_order_relaxed);
        session.bytes[kClientToServer].fetch_sub(static_cast<std::uint64_t>(size),
                                                 std::memory_order_relaxed);
        logger_.warn("UDP send upstream failed on route ", name);
      } else {
        add(stats.datagrams[kClientToServer]);
        add(stats.bytes[kClientToServer], static_cast<std::uint64_t>(n));
      }
    } catch (const std::exception& e) {
      logger_.warn("UDP route ", name, " packet failed: ", e.what());
    } catch (...) {
      // Only this datagram is given up.
    }
  }
}

std::shared_ptr<ThreadRelay::UdpAssociation> ThreadRelay::find_association(std::string_view key) {
  std::lock_guard lock(udp_mutex_);
  auto it = associations_.find(key);
  return it == associations_.end() ? nullptr : it->second;
}

std::shared_ptr<ThreadRelay::UdpAssociation> ThreadRelay::new_association(
    std::string_view key, const sockaddr_storage& from, socklen_t from_len,
    const sockaddr_storage& client, const sockaddr_storage& destination) {
  // Only this thread adds associations, so the table cannot gain one between
  // the look-up and the insertion below; it can only lose some.
  // Stop, a drain or the closing of the route has begun: no new association that it would miss.
  if (!serving(receiving_) || run_.draining()) return nullptr;
  // The association keeps the settings it was made under, whatever a reload does.
  const Settings settings = route_.settings();
  const ServerRoute& route = settings->route;
  Refusal why = kLimit;
  Admission::MakeRoom make_room;
  if (route.udp_evict_unconfirmed) make_room = [this] { return evict_unconfirmed(); };
  Ticket ticket = route_.admission.admit(kUdp, *settings, client, &why, make_room);
  if (!ticket) {
    if (why == kLimit && !settings->summarize_refusals)
      logger_.warn("UDP association limit reached on route ", route_.name);
    return nullptr;
  }
  auto association = std::make_shared<UdpAssociation>(route);
  association->ticket = std::move(ticket);
  association->key = key;
  association->client_addr = from;
  association->client_addr_len = from_len;
  association->local_addr = destination;
  if (route.proxy_protocol == "v2") {
    // The address the client sent to: reported per datagram on a wildcard socket.
    sockaddr_storage local =
        destination.ss_family == AF_UNSPEC ? local_address(route_.udp_fd) : unmapped(destination);
    set_port(local, route.listen_port);
    association->proxy_prefix = proxy_header_v2(client, local, true);
  }
  if (route.udp_first_reply_timeout_ms > 0) {
    association->idle_timeout_ms = settings->udp_idle_timeout_ms;
  }
  // Resolving may wait on the network: never under udp_mutex_.
  try {
    association->upstream = connect_upstream_udp(*settings, client, association->ticket.session());
  } catch (...) {
    route_.sessions.ended(kUdp, association->ticket.session(), SessionEnd::kUpstreamConnectFailed);
    throw;
  }
  std::lock_guard lock(udp_mutex_);
  if (!serving(receiving_) || run_.draining()) {
    route_.sessions.ended(kUdp, association->ticket.session(), cut_end(run_));
    return nullptr;
  }
  auto filed = associations_.emplace(association->key, association).first;
  try {
    udp_threads_.spawn([this, association] { udp_response_loop(association); });
  } catch (...) {
    associations_.erase(filed);
    route_.sessions.ended(kUdp, association->ticket.session(), SessionEnd::kError);
    throw;
  }
  if (route.udp_evict_unconfirmed) evictable_.add(association);
  return association;
}

bool ThreadRelay::evict_unconfirmed() {
  while (const std::shared_ptr<UdpAssociation> oldest = evictable_.take_oldest()) {
    std::lock_guard lock(udp_mutex_);
    if (evict_filed(associations_, oldest, route_.stats.udp().evicted)) return true;
  }
  return false;
}

UniqueFd ThreadRelay::connect_upstream_udp(const RouteSettings& settings,
                                           const sockaddr_storage& client, Session& session) {
  const ServerRoute& route = settings.route;
  Counter& failures = route_.stats.udp().connect_failures;
  AddrinfoList list = resolve_target(route.target_host, route.target_port, SOCK_DGRAM, IPPROTO_UDP);
  if (!list) {
    add(failures);
    throw std::runtime_error("解析 UDP 上游地址失败");
  }
  for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
    UniqueFd fd = connect_to(*entry, route.transparent ? &client : nullptr);
    if (!fd) continue;
    std::memcpy(&session.upstream, entry->ai_addr, entry->ai_addrlen);
    // Only upstream traffic keeps an association alive: the idle time-out,
    // or the shorter wait for a first reply.
    const int first = route.udp_first_reply_timeout_ms;
    set_receive_timeout(fd.get(), first > 0 ? first : settings.udp_idle_timeout_ms);
    return fd;
  }
  add(failures);
  throw std::runtime_error("连接 UDP 上游失败 " + route.target_host + ":" +
                           std::to_string(route.target_port));
}

void ThreadRelay::udp_response_loop(const std::shared_ptr<UdpAssociation>& association) {
  ProtocolStats& stats = route_.stats.udp();
  Session& session = association->ticket.session();
  const int upstream = association->upstream.get();
  char buffer[kDatagramBytes];
  bool answered = false;
  SessionEnd end = SessionEnd::kError;
  for (;;) {
    if (!serving(receiving_)) {
      end = cut_end(run_);
      break;
    }
    const ssize_t n = recv_some(upstream, buffer, sizeof buffer);
    // Time-out, error, or the shutdown by a stop, the route's closing or an
    // eviction; an empty datagram from the upstream while serving is relayed.
    if (n <= 0 && association->guard.evicted()) {
      end = SessionEnd::kEvicted;
      break;
    }
    if (n < 0) {
      const int err = errno;
      const bool waited = err == EAGAIN || err == EWOULDBLOCK;
      // With no wait of its own for the first reply, the idle time-out ran out.
      const bool first_wait = !answered && association->idle_timeout_ms > 0;
      end = !waited      ? read_end(false, n, err)
            : first_wait ? SessionEnd::kFirstReplyTimeout
                         : SessionEnd::kIdle;
      break;
    }
    if (n == 0 && !serving(receiving_)) {
      end = cut_end(run_);
      break;
    }
    if (!answered) {
      if (association->idle_timeout_ms > 0) {
        set_receive_timeout(upstream, association->idle_timeout_ms);
      }
      association->guard.replied();
      answered = true;
    }
    if (send_datagram_to(route_.udp_fd, buffer, static_cast<std::size_t>(n),
                         association->client_addr, association->client_addr_len,
                         &association->local_addr) < 0) {
      add(stats.refused[kSendFailed]);
    } else {
      add(stats.datagrams[kServerToClient]);
      add(stats.bytes[kServerToClient], static_cast<std::uint64_t>(n));
      add(session.datagrams[kServerToClient]);
      add(session.bytes[kServerToClient], static_cast<std::uint64_t>(n));
    }
  }
  // A datagram still on its way out fails instead of using a closed socket;
  // the socket itself is closed when the last reference goes.
  shutdown_fd(upstream);
  route_.sessions.ended(kUdp, session, end);
  std::lock_guard lock(udp_mutex_);
  auto it = associations_.find(association->key);
  if (it != associations_.end() && it->second == association) associations_.erase(it);
  association->ticket.release();  // only this thread touches it after the filing
}

void ThreadRelay::shut_down_associations() {
  std::lock_guard lock(udp_mutex_);
  for (auto& entry : associations_) shutdown_fd(entry.second->upstream.get());
}

}  // namespace tarnwicket
