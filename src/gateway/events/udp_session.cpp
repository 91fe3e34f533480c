// The UDP side of the event engine, step for step what the thread engine's
// receive thread and response threads do (threads/udp_relay.cpp), with the
// upstream socket's receive time-out kept as a deadline on the loop's timers.

#include "gateway/events/udp_session.h"

#include <cerrno>
#include <stdexcept>

#include "gateway/events/event_engine.h"
#include "gateway/run_state.h"
#include "gateway/udp_upstream.h"
#include "log/logger.h"
#include "net/address.h"
#include "net/datagram.h"
#include "net/stream.h"

namespace tarnwicket {

namespace {

constexpr std::chrono::milliseconds kResourceBackoff{100};

}  // namespace

void UdpListener::listen() {
  const int fd = relay_.route().udp_fd;
  if (fd_ >= 0 || fd < 0 || backoff_ != 0) return;
  if (loop_.watch(fd, EPOLLIN, this, 0)) fd_ = fd;
}

void UdpListener::close() {
  loop_.disarm(backoff_);
  if (fd_ >= 0) loop_.unwatch(fd_);
  fd_ = -1;
}

void UdpListener::on_timer() {
  backoff_ = 0;
  if (relay_.receiving()) listen();
}

void UdpListener::on_io(int /*side*/, std::uint32_t /*events*/) {
  const bool wildcard = relay_.route().udp_wildcard;
  char* buffer = loop_.scratch();
  for (int i = 0; i < kDatagramsPerTurn && fd_ >= 0; ++i) {
    sockaddr_storage from{};
    socklen_t from_len = sizeof from;
    sockaddr_storage destination{};
    const ssize_t n = recv_from(fd_, buffer, kRelayBufferBytes, from, from_len,
                                wildcard ? &destination : nullptr);
    if (n < 0) {
      const int err = errno;
      if (err == EAGAIN || err == EWOULDBLOCK) return;
      if (!relay_.receiving()) return close();
      relay_.logger().warn("UDP recvfrom failed on route ", relay_.route().name);
      if (is_unusable_socket_error(err)) return close();
      if (is_resource_error(err)) {
        close();
        backoff_ = loop_.arm(loop_.now() + kResourceBackoff, this);
        return;
      }
      continue;
    }
    // A shut-down socket reads as an empty datagram; while running, an empty
    // datagram is a client's and is relayed like any other.
    if (n == 0 && !relay_.receiving()) return close();
    forward(buffer, static_cast<std::size_t>(n), from, from_len, destination);
  }
}

void UdpListener::forward(const char* data, std::size_t size, const sockaddr_storage& from,
                          socklen_t from_len, const sockaddr_storage& destination) {
  const std::string& name = relay_.route().name;
  ProtocolStats& stats = relay_.route().stats.udp();
  try {
    sockaddr_storage client;
    char key_buffer[kClientKeyBytes];
    const std::string_view key = udp_client(from, from_len, client, key_buffer);
    std::shared_ptr<UdpAssociation> association = relay_.find_association(key);
    if (!association) association = associate(key, from, from_len, client, destination);
    if (!association) return;
    if (!association->guard.take_datagram()) {
      add(stats.refused[kClientRate]);
      return;
    }
    // The shared reference keeps the socket open until this send is done.
    const std::string& prefix = association->proxy_prefix;
    const int upstream = association->upstream.get();
    // The session counts it first: the reply may end the session before the
    // send returns here, and the record must hold the datagram it answered.
    Session& session = association->ticket.session();
    add(session.datagrams[kClientToServer]);
    add(session.bytes[kClientToServer], size);
    const ssize_t sent = prefix.empty() ? send_datagram(upstream, data, size)
                                        : send_datagram_after(upstream, prefix, data, size);
    if (sent < 0) {
      add(stats.refused[kSendFailed]);
      session.datagrams[kClientToServer].fetch_sub(1, std::memory_order_relaxed);
      session.bytes[kClientToServer].fetch_sub(size, std::memory_order_relaxed);
      relay_.logger().warn("UDP send upstream failed on route ", name);
    } else {
      add(stats.datagrams[kClientToServer]);
      add(stats.bytes[kClientToServer], size);
    }
  } catch (const std::exception& e) {
    relay_.logger().warn("UDP route ", name, " packet failed: ", e.what());
  } catch (...) {
    // Only this datagram is given up.
  }
}

std::shared_ptr<UdpAssociation> UdpListener::associate(std::string_view key,
                                                       const sockaddr_storage& from,
                                                       socklen_t from_len,
                                                       const sockaddr_storage& client,
                                                       const sockaddr_storage& destination) {
  // Only this loop adds associations; a stop, a drain or the route's closing
  // makes none that it would miss.
  if (!relay_.receiving() || relay_.run().draining()) return nullptr;
  // The association keeps the settings it was made under, whatever a reload does.
  const Settings settings = relay_.route().settings();
  const ServerRoute& route = settings->route;
  Refusal why = kLimit;
  Admission::MakeRoom make_room;
  if (route.udp_evict_unconfirmed) make_room = [this] { return evict_unconfirmed(); };
  Ticket ticket = relay_.route().admission.admit(kUdp, *settings, client, &why, make_room);
  if (!ticket) {
    if (why == kLimit && !settings->summarize_refusals) {
      relay_.logger().warn("UDP association limit reached on route ", route.name);
    }
    return nullptr;
  }
  // Replies are sent from another loop than this one, which reads the route's
  // socket, as the thread engine sends them from threads of their own.
  auto association =
      std::make_shared<UdpAssociation>(relay_, relay_.engine().next_loop_but(loop_), route);
  association->ticket = std::move(ticket);
  association->key = key;
  association->reply_fd = fd_;
  association->client_addr = from;
  association->client_addr_len = from_len;
  association->local_addr = destination;
  if (route.proxy_protocol == "v2") {
    association->proxy_prefix = udp_proxy_prefix(route, fd_, client, destination);
  }
  // Only upstream traffic keeps an association alive: the idle time-out, or
  // the shorter wait for a first reply.
  association->idle_timeout_ms = settings->udp_idle_timeout_ms;
  association->first_wait_ms = route.udp_first_reply_timeout_ms;
  SessionRecorder& sessions = relay_.route().sessions;
  Session& session = association->ticket.session();
  try {
    association->upstream = connect_upstream_udp(
        *settings, relay_.route().stats.udp().connect_failures, client, session);
  } catch (...) {
    sessions.ended(kUdp, session, SessionEnd::kUpstreamConnectFailed);
    throw;
  }
  if (!relay_.file_association(association)) {
    sessions.ended(kUdp, session, cut_end(relay_.run()));
    return nullptr;
  }
  if (route.udp_evict_unconfirmed) evictable_.add(association);
  const Clock::time_point created = loop_.now();
  if (&association->loop() == &loop_) {
    association->open(created);
    return association;
  }
  try {
    association->loop().post([association, created] { association->open(created); });
  } catch (...) {
    sessions.ended(kUdp, session, SessionEnd::kError);
    relay_.forget_association(*association);
    throw;
  }
  return association;
}

bool UdpListener::evict_unconfirmed() {
  while (const std::shared_ptr<UdpAssociation> oldest = evictable_.take_oldest()) {
    if (relay_.evict_association(oldest)) return true;
  }
  return false;
}

}  // namespace tarnwicket
