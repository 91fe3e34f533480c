// An association's upstream side on its own loop: replies back to the
// client from the route's socket, the idle and first-reply deadlines, and
// its end (udp_session.cpp makes it).

#include <poll.h>

#include <cerrno>
#include <stdexcept>

#include "gateway/events/event_engine.h"
#include "gateway/events/udp_session.h"
#include "net/datagram.h"
#include "net/fd.h"

namespace tarnwicket {

namespace {

// The route's socket is non-blocking for its reader; a reply that finds its
// send buffer full waits this long for room, as a blocking send would.
constexpr int kReplyRoomWaitMs = 100;

}  // namespace

void UdpAssociation::open(Clock::time_point created) {
  if (ended_) return;
  last_ = created;
  try {
    loop_.adopt(shared_from_this());
    if (!loop_.watch(upstream.get(), EPOLLIN, this, 0)) {
      throw std::runtime_error("epoll");
    }
    watched_ = true;
    timer_ = loop_.arm(deadline(), this);
  } catch (...) {
    end(SessionEnd::kError);
  }
}

void UdpAssociation::end(SessionEnd why) {
  if (ended_) return;
  ended_ = true;
  loop_.disarm(timer_);
  if (watched_) loop_.unwatch(upstream.get());
  // A datagram still on its way upstream fails instead of using a closed
  // socket; the socket itself is closed when the last reference goes.
  shutdown_fd(upstream.get());
  // The eviction came first, whatever ends it on its loop: its time-out or a stop.
  if (guard.evicted()) why = SessionEnd::kEvicted;
  relay_.route().sessions.ended(kUdp, ticket.session(), why);
  relay_.forget_association(*this);
  loop_.retire(this);
}

Clock::time_point UdpAssociation::deadline() const {
  const bool first = !answered_ && first_wait_ms > 0;
  return last_ + std::chrono::milliseconds(first ? first_wait_ms : idle_timeout_ms);
}

void UdpAssociation::on_timer() {
  timer_ = 0;
  if (ended_) return;
  if (deadline() > loop_.now()) {
    timer_ = loop_.arm(deadline(), this);
    return;
  }
  end(!answered_ && first_wait_ms > 0 ? SessionEnd::kFirstReplyTimeout : SessionEnd::kIdle);
}

void UdpAssociation::on_io(int /*side*/, std::uint32_t /*events*/) {
  ProtocolStats& stats = relay_.route().stats.udp();
  char* buffer = loop_.scratch();
  for (int i = 0; i < kDatagramsPerTurn && !ended_; ++i) {
    ssize_t n;
    do {
      n = ::recv(upstream.get(), buffer, kRelayBufferBytes, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    // A socket shut down by an eviction reads as "would block" here, while
    // epoll reports its hang-up again and again: it ends now.
    if (n <= 0 && guard.evicted()) return end(SessionEnd::kEvicted);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // An error, or the shutdown by a stop or the route's closing; an empty
    // datagram from the upstream while serving is relayed like any other.
    if (n < 0) return end(read_end(false, n, errno));
    if (n == 0 && !relay_.receiving()) return end(cut_end(relay_.run()));
    last_ = loop_.now();
    if (!answered_) {
      // The wait for a first reply may have been the longer one.
      answered_ = true;
      guard.replied();
      loop_.disarm(timer_);
      timer_ = loop_.arm(deadline(), this);
    }
    const auto size = static_cast<std::size_t>(n);
    ssize_t sent =
        send_datagram_to(reply_fd, buffer, size, client_addr, client_addr_len, &local_addr);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd room{reply_fd, POLLOUT, 0};
      if (::poll(&room, 1, kReplyRoomWaitMs) == 1) {
        sent = send_datagram_to(reply_fd, buffer, size, client_addr, client_addr_len, &local_addr);
      }
    }
    if (sent < 0) {
      add(stats.refused[kSendFailed]);
    } else {
      add(stats.datagrams[kServerToClient]);
      add(stats.bytes[kServerToClient], size);
      add(ticket.session().datagrams[kServerToClient]);
      add(ticket.session().bytes[kServerToClient], size);
    }
  }
}

}  // namespace tarnwicket
