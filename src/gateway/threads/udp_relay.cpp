// The receiving side of the thread engine's UDP: one thread per route reads
// the listening socket, finds or sets up each client's association and
// forwards the client's datagrams upstream.

#include <cerrno>
#include <stdexcept>

#include "gateway/run_state.h"
#include "gateway/threads/newcomers.h"
#include "gateway/threads/thread_engine.h"
#include "gateway/threads/udp_association.h"
#include "gateway/udp_guard.h"
#include "gateway/udp_upstream.h"
#include "log/logger.h"
#include "net/address.h"
#include "net/datagram.h"
#include "net/stream.h"

namespace tarnwicket {

namespace {

constexpr std::size_t kDatagramBytes = 65536;
constexpr std::chrono::milliseconds kResourceBackoff{100};
// Known clients' datagrams read, at most, before a held newcomer is served.
constexpr std::size_t kMostReadAhead = 64;

}  // namespace

void ThreadRelay::udp_loop() {
  char buffer[kDatagramBytes];
  char key_buffer[kClientKeyBytes];
  Newcomers newcomers;
  std::size_t read_ahead = 0;  // datagrams read past the first held newcomer
  while (serving(receiving_)) {
    // While newcomers wait, only what has already arrived is read: known
    // clients' datagrams go first, and the newcomers when there are none, or
    // now and then, so that a steady stream of players cannot starve them.
    const bool waiting = !newcomers.empty();
    if (waiting && (newcomers.full() || read_ahead >= kMostReadAhead)) {
      serve_newcomer(newcomers);
      read_ahead = 0;
      continue;
    }
    sockaddr_storage from{};
    socklen_t from_len = sizeof from;
    sockaddr_storage destination{};
    const ssize_t n =
        recv_from(route_.udp_fd, buffer, sizeof buffer, from, from_len,
                  route_.udp_wildcard ? &destination : nullptr, waiting ? MSG_DONTWAIT : 0);
    if (n < 0) {
      const int err = errno;
      if (!serving(receiving_)) return;
      if (waiting && (err == EAGAIN || err == EWOULDBLOCK)) {
        serve_newcomer(newcomers);
        read_ahead = 0;
        continue;
      }
      logger_.warn("UDP recvfrom failed on route ", route_.name);
      if (is_unusable_socket_error(err)) return;
      if (is_resource_error(err)) run_.pause_unless_stopping(kResourceBackoff);
      continue;
    }
    // A shut-down socket reads as an empty datagram; while running, an empty
    // datagram is a client's and is relayed like any other.
    if (n == 0 && !serving(receiving_)) return;
    if (waiting) ++read_ahead;
    try {
      sockaddr_storage client;
      const std::string_view key = udp_client(from, from_len, client, key_buffer);
      // A client with datagrams held has no association yet: its new one is held too.
      if (const std::shared_ptr<UdpAssociation> association = find_association(key)) {
        forward(*association, buffer, static_cast<std::size_t>(n));
      } else {
        newcomers.add(Newcomer{std::string(key), from, from_len, client, destination,
                               std::vector<char>(buffer, buffer + n)});
      }
    } catch (const std::exception& e) {
      logger_.warn("UDP route ", route_.name, " packet failed: ", e.what());
    } catch (...) {
      // Only this datagram is given up.
    }
  }
}

void ThreadRelay::serve_newcomer(Newcomers& newcomers) {
  const Newcomer first = newcomers.take_first();
  try {
    std::shared_ptr<UdpAssociation> association = find_association(first.key);
    if (!association) {
      association =
          new_association(first.key, first.from, first.from_len, first.client, first.destination);
    }
    if (!association) return;
    forward(*association, first.data.data(), first.data.size());
    newcomers.take_each_of(first.key, [&](const Newcomer& next) {
      forward(*association, next.data.data(), next.data.size());
    });
  } catch (const std::exception& e) {
    logger_.warn("UDP route ", route_.name, " packet failed: ", e.what());
  } catch (...) {
    // Only this datagram is given up.
  }
}

void ThreadRelay::forward(UdpAssociation& association, const char* data, std::size_t size) {
  ProtocolStats& stats = route_.stats.udp();
  if (!association.guard.take_datagram()) {
    add(stats.refused[kClientRate]);
    return;
  }
  // The caller's shared reference keeps the socket open until this send is done.
  const std::string& prefix = association.proxy_prefix;
  const int upstream = association.upstream.get();
  // The session counts it first: the reply may end the session before the
  // send returns here, and the record must hold the datagram it answered.
  Session& session = association.ticket.session();
  add(session.datagrams[kClientToServer]);
  add(session.bytes[kClientToServer], static_cast<std::uint64_t>(size));
  const ssize_t sent = prefix.empty() ? send_datagram(upstream, data, size)
                                      : send_datagram_after(upstream, prefix, data, size);
  if (sent < 0) {
    add(stats.refused[kSendFailed]);
    session.datagrams[kClientToServer].fetch_sub(1, std::memory_order_relaxed);
    session.bytes[kClientToServer].fetch_sub(static_cast<std::uint64_t>(size),
                                             std::memory_order_relaxed);
    logger_.warn("UDP send upstream failed on route ", route_.name);
  } else {
    add(stats.datagrams[kClientToServer]);
    add(stats.bytes[kClientToServer], static_cast<std::uint64_t>(size));
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
    association->proxy_prefix = udp_proxy_prefix(route, route_.udp_fd, client, destination);
  }
  if (route.udp_first_reply_timeout_ms > 0) {
    association->idle_timeout_ms = settings->udp_idle_timeout_ms;
  }
  // Resolving may wait on the network: never under udp_mutex_.
  try {
    association->upstream = connect_upstream_udp(*settings, route_.stats.udp().connect_failures,
                                                 client, association->ticket.session());
    // Only upstream traffic keeps an association alive: the idle time-out,
    // or the shorter wait for a first reply.
    const int first = route.udp_first_reply_timeout_ms;
    set_receive_timeout(association->upstream.get(),
                        first > 0 ? first : settings->udp_idle_timeout_ms);
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

}  // namespace tarnwicket
