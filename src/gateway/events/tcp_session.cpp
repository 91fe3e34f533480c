// The TCP side of the event engine, step for step what the thread engine's
// accept loop, client thread and two pumps do (threads/tcp_relay.cpp), with
// its socket time-outs kept as deadlines on the loop's timer heap:
//  - the client's receive time-out: no byte from the client while waiting for one;
//  - the client's send time-out: no progress sending to it;
//  - the upstream's send time-out: the connect, the PROXY header, a send that
//    makes no progress. Like the thread engine, no receive time-out upstream.

#include "gateway/events/tcp_session.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "gateway/events/event_engine.h"
#include "gateway/proxy_protocol.h"
#include "log/logger.h"
#include "net/stream.h"
#include "net/transparent.h"

namespace tarnwicket {

namespace {

constexpr std::chrono::milliseconds kResourceBackoff{100};
constexpr int kAcceptsPerTurn = 64;
// Chunks one direction moves per event, so that one busy client cannot starve its loop.
constexpr int kChunksPerTurn = 16;
constexpr const char* kLabels[2] = {"client->server", "server->client"};

void set_receive_low_water(int fd, std::size_t bytes) {
  const int mark = static_cast<int>(std::min(bytes, kProxyParseBytes));
  ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark);
}

bool would_block(ssize_t n) { return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK); }

}  // namespace

void TcpListener::listen() {
  const int fd = relay_.route().tcp_fd;
  if (fd_ >= 0 || fd < 0 || backoff_ != 0) return;
  // Every loop watches the listener; EPOLLEXCLUSIVE wakes one of them per client.
  if (loop_.watch(fd, EPOLLIN | EPOLLEXCLUSIVE, this, 0)) fd_ = fd;
}

void TcpListener::close() {
  loop_.disarm(backoff_);
  if (fd_ >= 0) loop_.unwatch(fd_);
  fd_ = -1;
}

void TcpListener::on_timer() {
  backoff_ = 0;
  if (relay_.accepting()) listen();
}

void TcpListener::on_io(int /*side*/, std::uint32_t /*events*/) {
  for (int i = 0; i < kAcceptsPerTurn && fd_ >= 0; ++i) {
    if (!relay_.accepting()) return close();
    sockaddr_storage from{};
    socklen_t from_len = sizeof from;
    int fd;
    do {
      fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&from), &from_len,
                     SOCK_CLOEXEC | SOCK_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      take(UniqueFd(fd), from);
      continue;
    }
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) return;  // another loop took the client
    if (!relay_.accepting()) return close();          // the listener was shut down to close it
    relay_.logger().warn("accept failed on route ", relay_.route().name);
    if (is_unusable_socket_error(err)) return close();
    if (is_resource_error(err)) {
      // Level-triggered: until the pause is over this loop stops watching.
      close();
      backoff_ = loop_.arm(loop_.now() + kResourceBackoff, this);
      return;
    }
  }
}

void TcpListener::take(UniqueFd client, sockaddr_storage from) {
  Route& route = relay_.route();
  try {
    socklen_t from_len = sizeof from;
    unmap_ipv4(from, from_len);
    // The connection keeps the settings it came in under, whatever a reload does.
    Settings settings = route.settings();
    Ticket ticket;
    Refusal why = kLimit;
    if (settings->route.accept_proxy_protocol) {
      // Only a trusted balancer may speak for its clients; the header names them later.
      if (!allowed(settings->trusted_proxies, from)) {
        route.admission.refuse(kTcp, kUntrustedProxy);
        shutdown_fd(client.get());
        return;
      }
      ticket = route.admission.reserve(kTcp, *settings);
    } else {
      ticket = route.admission.admit(kTcp, *settings, from, &why);
    }
    if (!ticket) {
      shutdown_fd(client.get());
      if (why != kLimit) return;
      client.reset();
      relay_.logger().warn("connection limit reached on route ", route.name);
      return;
    }
    auto session = std::make_shared<TcpSession>(relay_, loop_, std::move(settings),
                                                std::move(client), std::move(ticket), from);
    loop_.adopt(session);
    session->begin();
  } catch (const std::exception& e) {
    relay_.logger().warn("route ", route.name, " connection closed: ", e.what());
  } catch (...) {
    // Nothing that fails for one client may end the route's intake.
  }
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
        return fail("向 TCP 上游发送 PROXY 头失败");
      case Phase::kRelaying:
        // Whichever wait ran out first ends its direction, as its time-out would.
        return end_relay(flows_[kClientToServer].since + timeout() <= loop_.now()
                             ? kClientToServer
                             : kServerToClient);
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
  start_connect();
}

void TcpSession::bad_header() {
  relay_.route().admission.refuse(kTcp, kBadProxyHeader);
  finish();
}

void TcpSession::start_connect() {
  const ServerRoute& route = settings_->route;
  targets_ = resolve_target(route.target_host, route.target_port, SOCK_STREAM, IPPROTO_TCP);
  if (!targets_) {
    add(relay_.route().stats.tcp().connect_failures);
    return fail("解析 TCP 上游地址失败");
  }
  target_ = targets_.get();
  connect_next();
}

void TcpSession::connect_next() {
  for (; target_ != nullptr; target_ = target_->ai_next) {
    UniqueFd socket = open_socket_for(*target_);
    if (!socket ||
        (settings_->route.transparent && !bind_transparent(socket.get(), from_, false))) {
      continue;
    }
    ::fcntl(socket.get(), F_SETFL, ::fcntl(socket.get(), F_GETFL) | O_NONBLOCK);
    // Listed before the connect, so that a stop aborts a connect in progress.
    upstream_.emplace(relay_.fds(), std::move(socket));
    if (::connect(fd(kUpstream), target_->ai_addr, target_->ai_addrlen) == 0) return connected();
    if (errno == EINPROGRESS || errno == EINTR) {
      phase_ = Phase::kConnecting;
      phase_deadline_ = loop_.now() + timeout();
      watch(kUpstream, EPOLLOUT);
      return schedule();
    }
    upstream_.reset();
  }
  const ServerRoute& route = settings_->route;
  add(relay_.route().stats.tcp().connect_failures);
  fail("连接 TCP 上游失败 " + route.target_host + ":" + std::to_string(route.target_port));
}

void TcpSession::connect_event(std::uint32_t events) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd(kUpstream), SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
  // A socket that a stop shut down reports a hang-up, and no error.
  if (err == 0 && (events & EPOLLHUP) != 0) err = ECONNABORTED;
  if (err != 0) return give_up_target();
  connected();  // still watched: the relay changes what for, with no new registration
}

void TcpSession::give_up_target() {
  unwatch(kUpstream);
  upstream_.reset();
  target_ = target_->ai_next;
  connect_next();
}

void TcpSession::connected() {
  const ServerRoute& route = settings_->route;
  if (route.proxy_protocol == "off") return start_relay();
  header_ = route.proxy_protocol == "v1" ? proxy_header_v1(from_, local_)
                                         : proxy_header_v2(from_, local_, false);
  phase_ = Phase::kSendingHeader;
  phase_deadline_ = loop_.now() + timeout();
  send_header();
}

void TcpSession::send_header() {
  while (header_sent_ < header_.size()) {
    ssize_t n;
    do {
      n = ::send(fd(kUpstream), header_.data() + header_sent_, header_.size() - header_sent_,
                 MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (would_block(n)) {
      if (!watched_[kUpstream]) watch(kUpstream, EPOLLOUT);
      return schedule();
    }
    if (n <= 0) return fail("向 TCP 上游发送 PROXY 头失败");
    header_sent_ += static_cast<std::size_t>(n);
    phase_deadline_ = loop_.now() + timeout();
  }
  header_ = std::string();
  start_relay();
}

void TcpSession::start_relay() {
  phase_ = Phase::kRelaying;
  targets_.reset();  // an idle connection keeps nothing it no longer needs
  target_ = nullptr;
  flows_[kClientToServer].since = flows_[kServerToClient].since = loop_.now();
  // Bytes that already wait on either side are reported at once: epoll is level-triggered.
  update_interest();
  schedule();
}

void TcpSession::relay_event(int side, std::uint32_t events) {
  constexpr std::uint32_t kTrouble = EPOLLHUP | EPOLLERR;
  // The direction that reads from this socket, and the one that sends to it.
  const int reads = side == kClient ? kClientToServer : kServerToClient;
  const int sends = 1 - reads;
  bool acted = false;
  if (!flows_[reads].sending() && (events & (EPOLLIN | kTrouble)) != 0) {
    acted = true;
    if (!pump(reads)) return;
  }
  if (flows_[sends].sending() && (events & (EPOLLOUT | kTrouble)) != 0) {
    acted = true;
    if (!pump(sends)) return;
  }
  // A hang-up that neither direction waits on here: both are busy with the
  // other socket. The reading direction is the one that would see it first.
  if (!acted && (events & kTrouble) != 0) return end_relay(reads);
  update_interest();
  schedule();
}

bool TcpSession::pump(int d) {
  Flow& flow = flows_[d];
  const int from = fd(d == kClientToServer ? kClient : kUpstream);
  const int to = fd(d == kClientToServer ? kUpstream : kClient);
  BufferPool& pool = loop_.buffers();
  for (int round = 0; round < kChunksPerTurn; ++round) {
    if (!flow.sending()) {
      if (!flow.buffer) flow.buffer = pool.take();
      ssize_t n;
      do {
        n = ::recv(from, flow.buffer.get(), kRelayBufferBytes, MSG_DONTWAIT);
      } while (n < 0 && errno == EINTR);
      if (would_block(n)) break;
      if (n <= 0) return end_relay(d), false;
      flow.offset = 0;
      flow.length = static_cast<std::size_t>(n);
      flow.since = loop_.now();
    }
    while (flow.sending()) {
      ssize_t n;
      do {
        n = ::send(to, flow.buffer.get() + flow.offset, flow.length - flow.offset,
                   MSG_NOSIGNAL | MSG_DONTWAIT);
      } while (n < 0 && errno == EINTR);
      if (would_block(n)) return true;  // the rest waits, and so does this direction's reading
      if (n <= 0) return end_relay(d), false;
      flow.offset += static_cast<std::size_t>(n);
      flow.since = loop_.now();
    }
    // Counted once the whole chunk is on its way, as the thread engine's pump does.
    add(relay_.route().stats.tcp().bytes[d], flow.length);
    flow.offset = flow.length = 0;
  }
  pool.give(std::move(flow.buffer));
  return true;
}

void TcpSession::end_relay(int first) {
  // No half-close: the first direction to end ends the other one too.
  shutdown_fd(fd(kClient));
  shutdown_fd(fd(kUpstream));
  const std::string& name = relay_.route().name;
  relay_.logger().info("route ", name, " relay ended ", kLabels[first]);
  relay_.logger().info("route ", name, " relay ended ", kLabels[1 - first]);
  finish();
}

void TcpSession::fail(const std::string& message) {
  if (phase_ == Phase::kClosed) return;
  relay_.logger().warn("route ", relay_.route().name, " connection closed: ", message);
  finish();
}

void TcpSession::finish() {
  if (phase_ == Phase::kClosed) return;
  phase_ = Phase::kClosed;
  loop_.disarm(timer_);
  unwatch(kClient);
  unwatch(kUpstream);
  for (Flow& flow : flows_) loop_.buffers().give(std::move(flow.buffer));
  upstream_.reset();
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

void TcpSession::update_interest() {
  const bool c2s_sending = flows_[kClientToServer].sending();
  const bool s2c_sending = flows_[kServerToClient].sending();
  // Back-pressure: a direction with bytes to send reads nothing more.
  const std::uint32_t wanted[2] = {
      (c2s_sending ? 0u : std::uint32_t{EPOLLIN}) | (s2c_sending ? std::uint32_t{EPOLLOUT} : 0u),
      (s2c_sending ? 0u : std::uint32_t{EPOLLIN}) | (c2s_sending ? std::uint32_t{EPOLLOUT} : 0u)};
  for (int side : {kClient, kUpstream}) {
    if (!watched_[side]) {
      watch(side, wanted[side]);
    } else if (interest_[side] != wanted[side]) {
      loop_.rewatch(fd(side), wanted[side], this, side);
      interest_[side] = wanted[side];
    }
  }
}

void TcpSession::schedule() {
  const Clock::time_point when = deadline();
  // A timer due no later stays: when it fires, the deadline is looked at again.
  if (timer_ != 0 && timer_at_ <= when) return;
  loop_.disarm(timer_);
  timer_ = loop_.arm(when, this);
  timer_at_ = when;
}

Clock::time_point TcpSession::deadline() const {
  if (phase_ != Phase::kRelaying) return phase_deadline_;
  // Reading from or sending to the client, or sending upstream: each has its
  // time-out. Reading from the upstream has none.
  Clock::time_point when = flows_[kClientToServer].since + timeout();
  const Flow& back = flows_[kServerToClient];
  if (back.sending()) when = std::min(when, back.since + timeout());
  return when;
}

Clock::duration TcpSession::timeout() const {
  return std::chrono::milliseconds(settings_->connection_timeout_ms);
}

int TcpSession::fd(int side) const { return side == kClient ? client_->get() : upstream_->get(); }

}  // namespace tarnwicket
