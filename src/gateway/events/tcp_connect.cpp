// A TCP session's way to its upstream: each resolved address in turn, a
// non-blocking connect bounded by the upstream's send time-out, then the
// PROXY header out; the relay then starts (tcp_relay.cpp).

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "gateway/events/event_engine.h"
#include "gateway/events/tcp_session.h"
#include "gateway/proxy_protocol.h"
#include "gateway/run_state.h"
#include "net/stream.h"
#include "net/transparent.h"

namespace tarnwicket {

void TcpSession::start_connect() {
  const ServerRoute& route = settings_->route;
  targets_ = resolve_target(route.target_host, route.target_port, SOCK_STREAM, IPPROTO_TCP);
  if (!targets_) {
    add(relay_.route().stats.tcp().connect_failures);
    ending(SessionEnd::kUpstreamConnectFailed);
    return fail("解析 TCP 上游地址失败");
  }
  target_ = targets_.get();
  connect_next();
}

void TcpSession::connect_next() {
  for (; target_ != nullptr; target_ = target_->ai_next) {
    UniqueFd socket(::socket(target_->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                             target_->ai_protocol));
    if (!socket) continue;
    if (settings_->route.transparent && !bind_transparent(socket.get(), from_, false)) continue;
    set_nodelay(socket.get());
    // Listed before the connect, so that a stop aborts a connect in progress.
    upstream_.emplace(relay_.fds(), std::move(socket));
    connect_began_ = Clock::now();
    if (::connect(fd(kUpstream), target_->ai_addr, target_->ai_addrlen) == 0) return connected();
    if (errno == EINPROGRESS || errno == EINTR) {
      phase_ = Phase::kConnecting;
      phase_deadline_ = loop_.now() + timeout();
      watch(kUpstream, EPOLLOUT);
      return schedule();
    }
    upstream_.reset();
  }
  // A stop shuts the socket down under a connect in progress: not the upstream's failure.
  if (!relay_.run().running()) return ending(cut_end(relay_.run())), finish();
  const ServerRoute& route = settings_->route;
  add(relay_.route().stats.tcp().connect_failures);
  ending(SessionEnd::kUpstreamConnectFailed);
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
  relay_.route().sessions.connected(Clock::now() - connect_began_);
  std::memcpy(&ticket_.session().upstream, target_->ai_addr, target_->ai_addrlen);
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
    if (n <= 0) {
      ending(send_end(false, errno));
      return fail("向 TCP 上游发送 PROXY 头失败");
    }
    header_sent_ += static_cast<std::size_t>(n);
    phase_deadline_ = loop_.now() + timeout();
  }
  header_ = std::string();
  start_relay();
}

}  // namespace tarnwicket
