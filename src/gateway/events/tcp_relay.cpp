// The relay of one TCP connection on the event engine: both directions as
// the thread engine's two pumps move them (threads/tcp_relay.cpp), a chunk of
// at most 64 KiB read only once the last one is sent, and no half-close.

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "gateway/events/event_engine.h"
#include "gateway/events/tcp_session.h"
#include "log/logger.h"

namespace tarnwicket {

namespace {

// Chunks one direction moves per event, so that one busy client cannot starve its loop.
constexpr int kChunksPerTurn = 16;
constexpr const char* kLabels[2] = {"client->server", "server->client"};

}  // namespace

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
  // No half-close: the first direction to end ends the other one too, at
  // once; both sockets are shut down and closed by finish().
  const std::string& name = relay_.route().name;
  relay_.logger().info("route ", name, " relay ended ", kLabels[first]);
  relay_.logger().info("route ", name, " relay ended ", kLabels[1 - first]);
  finish();
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

}  // namespace tarnwicket
