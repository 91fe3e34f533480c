// One TCP client of the event engine from its accept to its close, step for
// step what the thread engine's client thread does (threads/tcp_relay.cpp):
// the PROXY header, the upstream connect, the PROXY header out; the relay
// itself is in tcp_relay.cpp, the way upstream in tcp_connect.cpp. The thread engine's socket
// time-outs are deadlines on the loop's timer heap:
//  - the client's receive time-out: no byte from the client while waiting for one;
//  - the client's send time-out: no progress sending to it;
//  - the upstream's send time-out: the connect, the PROXY header, a send that
//    makes no progress. Like the thread engine, no receive time-out upstream.

#include "gateway/events/tcp_session.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "gateway/events/event_engine.h"
#include "gateway/proxy_protocol.h"
#include "gateway/run_state.h"
#include "log/logger.h"
#include "net/stream.h"
#include "net/transparent.h"

namespace tarnwicket {

namespace {

void set_receive_low_water(int fd, std::size_t bytes) {
  const int mark = static_cast<int>(std::min(bytes, kProxyParseBytes));
  ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark);
}

}  // namespace

bool TcpSession::would_block(ssize_t n) {
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

TcpSession::TcpSession(EventRelay& relay, Loop& loop, Settings settings, UniqueFd client,
                       Ticket ticket, const sockaddr_storage& from)
    : relay_(relay),
      loop_(loop),
      settings_(std::move(settings)),
      ticket_(std::move(ticket)),
      from_(from) {
  client_.emplace(relay_.fds(), std::move(client));
  relay_.session_began();  // last: a constructor that throws counts nothing
}

TcpSession::~TcpSession() {
  // Everything that points into the relay goes before the relay may be destroyed.
  upstream_.reset();
  ticket_.release();
  client_.reset();
  relay_.session_ended();
}

void TcpSession::begin() {
  try {
    const ServerRoute& route = settings_->route;
    set_nodelay(fd(kClient));
    const bool proxied = route.accept_proxy_protocol;
    if (proxied || route.proxy_protocol != "off") local_ = unmapped(local_address(fd(kClient)));
    if (!proxied) return start_connect();
    phase_ = Phase::kHeader;
    phase_deadline_ = loop_.now() + timeout();  // one deadline for the whole header
    watch(kClient, EPOLLIN | EPOLLRDHUP);
    schedule();
  } catch (const std::exception& e) {
    fail(e.what());
  }
}

void TcpSession::on_io(int side, std::uint32_t events) {
  try {
    switch (phase_) {
      case Phase::kHeader:
        return read_header(events);
      case Phase::kConnecting:
        return connect_event(events);
      case Phase::kSendingHeader:
        return send_header();
      case Phase::kRelaying:
        return relay_event(side, events);
      case Phase::kClosing:
        return closing_event(side, events);
      case Phase::kClosed:
        return;
    }
  } catch (const std::exception& e) {
    fail(e.what());
  }
}

void TcpSession::on_timer() {
  timer_ = 0;
  try {
    if (phase_ == Phase::kClosed) return;
    if (deadline() > loop_.now()) return schedule();
    switch (phase_) {
      case Phase::kHeader:
        return bad_header();
      case Phase::kConnecting:
        return give_up_target();
      case Phase::kSendingHeader:
        ending(SessionEnd::kUpstreamTimeout);
        return fail("向 TCP 上游发送 PROXY 头失败");
      case Phase::kRelaying: {
        // Whichever wait ran out first ends its direction, as its time-out
        // would: a receive time-out after all was passed on, a send time-out not.
        const int d = flows_[kClientToServer].since + timeout() <= loop_.now() ? kClientToServer
                                                                               : kServerToClient;
        // Client to server waits on the client, or on an upstream taking nothing.
        const bool upstream_stalled = d == kClientToServer && flows_[d].sending();
        return end_relay(
            d, !flows_[d].sending(),
            upstream_stalled ? SessionEnd::kUpstreamTimeout : SessionEnd::kClientTimeout);
      }
      case Phase::kClosing:
        return check_acknowledged();
      case Phase::kClosed:
        return;
    }
  } catch (const std::exception& e) {
    fail(e.what());
  }
}

void TcpSession::read_header(std::uint32_t events) {
  char buffer[kProxyParseBytes];
  ssize_t n;
  if (!header_parsed_) {
    do {
      n = ::recv(fd(kClient), buffer, sizeof buffer, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    const bool ended = (events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) != 0 || n == 0;
    if (would_block(n) && !ended) return;
    // Fewer bytes than waited for: wait for more, unless the peer is done.
    if (n < static_cast<ssize_t>(header_wanted_)) return ended ? bad_header() : void();
    const ProxyHeader header = parse_proxy_header(std::string_view(buffer, std::size_t(n)));
    if (header.state == ProxyHeader::State::kInvalid) return bad_header();
    if (header.state == ProxyHeader::State::kNeedMore) {
      if (ended) return bad_header();
      // The low-water mark keeps the loop from waking for less than the header needs.
      header_wanted_ = header.size;
      return set_receive_low_water(fd(kClient), header_wanted_);
    }
    if (header_wanted_ > 1) set_receive_low_water(fd(kClient), 1);
    header_parsed_ = true;
    header_left_ = header.size;
    // A LOCAL header is the balancer's own connection, a health check.
    if (!header.local) from_ = unmapped(header.source);
  }
  // Read and drop the header, which may go on past what was peeked (long
  // TLVs); every byte after it stays for the upstream.
  while (header_left_ > 0) {
    do {
      n = ::recv(fd(kClient), buffer, std::min(header_left_, sizeof buffer), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (would_block(n)) return;
    if (n <= 0) return bad_header();
    header_left_ -= static_cast<std::size_t>(n);
  }
  unwatch(kClient);
  if (!relay_.route().admission.admit_client(kTcp, ticket_, *settings_, from_)) return finish();
  phase_ = Phase::kConnecting;  // admitted: from here on its end is recorded
  start_connect();
}

void TcpSession::bad_header() {
  relay_.route().admission.refuse(kTcp, kBadProxyHeader);
  finish();
}

void TcpSession::fail(const std::string& message) {
  if (phase_ == Phase::kClosed) return;
  relay_.logger().warn("route ", relay_.route().name, " connection closed: ", message);
  finish();
}

void TcpSession::ending(SessionEnd why) {
  if (end_) return;
  end_ = relay_.run().running() ? why : cut_end(relay_.run());
}

void TcpSession::finish() {
  if (phase_ == Phase::kClosed) return;
  // Still awaiting its header, or refused for it: counted, not recorded.
  const bool admitted = ticket_ && phase_ != Phase::kHeader;
  phase_ = Phase::kClosed;
  loop_.disarm(timer_);
  // Both sockets close below, which takes them out of the epoll set.
  watched_[kClient] = watched_[kUpstream] = false;
  for (Flow& flow : flows_) loop_.buffers().give(std::move(flow.buffer));
  upstream_.reset();
  if (admitted)
    relay_.route().sessions.ended(kTcp, ticket_.session(), end_.value_or(SessionEnd::kError));
  // Before the client's close, so that a client that sees it may retry at once.
  ticket_.release();
  client_.reset();
  loop_.retire(this);
}

void TcpSession::watch(int side, std::uint32_t events) {
  if (!loop_.watch(fd(side), events, this, side)) {
    throw std::system_error(errno, std::generic_category());
  }
  watched_[side] = true;
  interest_[side] = events;
}

void TcpSession::unwatch(int side) {
  if (!watched_[side]) return;
  loop_.unwatch(fd(side));
  watched_[side] = false;
}

Clock::duration TcpSession::timeout() const {
  return std::chrono::milliseconds(settings_->connection_timeout_ms);
}

int TcpSession::fd(int side) const { return side == kClient ? client_->get() : upstream_->get(); }

}  // namespace tarnwicket
