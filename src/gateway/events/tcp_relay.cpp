// The relay of one TCP connection on the event engine: both directions as
// the thread engine's pumps move them (threads/tcp_relay.cpp), a chunk of
// at most 64 KiB read only once the last one is sent, and no half-close.

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "gateway/events/event_engine.h"
#include "gateway/events/tcp_session.h"
#include "gateway/run_state.h"
#include "log/logger.h"
#include "net/fd.h"
#include "net/stream.h"

namespace tarnwicket {

namespace {

// Chunks one direction moves per event, so that one busy client cannot starve its loop.
constexpr int kChunksPerTurn = 16;
constexpr const char* kLabels[2] = {"client->server", "server->client"};
// The wait for the peers' acknowledgements at the end: checked after 1 ms, then
// twice as long each time, up to 50 ms between checks.
constexpr std::chrono::milliseconds kFirstAckPause{1};
constexpr std::chrono::milliseconds kLongestAckPause{50};

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
  if (!acted && (events & kTrouble) != 0) {
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd(side), SOL_SOCKET, SO_ERROR, &err, &len);
    return end_relay(reads, true, read_end(side == kClient, err == 0 ? 0 : -1, err));
  }
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
      if (n <= 0) return end_relay(d, true, read_end(d == kClientToServer, n, errno)), false;
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
      if (n <= 0) return end_relay(d, false, send_end(d == kServerToClient, errno)), false;
      flow.offset += static_cast<std::size_t>(n);
      flow.since = loop_.now();
    }
    // Counted once the whole chunk is on its way, as the thread engine's pump does.
    add(relay_.route().stats.tcp().bytes[d], flow.length);
    add(ticket_.session().bytes[d], flow.length);
    flow.offset = flow.length = 0;
  }
  pool.give(std::move(flow.buffer));
  return true;
}

void TcpSession::end_relay(int first, bool delivered, SessionEnd why) {
  ending(why);
  // No half-close: the first direction to end ends both, with a FIN each way
  // after what is queued. A direction with bytes still to send fails at once
  // on the socket just shut for writing; one that reads ends at its next read.
  shutdown_writes(fd(kClient));
  shutdown_writes(fd(kUpstream));
  relay_.logger().info("route ", relay_.route().name, " relay ended ", kLabels[first]);
  phase_ = Phase::kClosing;
  first_ended_ = first;
  const int second = 1 - first;
  const bool second_sending = flows_[second].sending();
  for (Flow& flow : flows_) {
    loop_.buffers().give(std::move(flow.buffer));
    flow.offset = flow.length = 0;
  }
  if (second_sending) end_second();
  const int second_reads_from = second == kClientToServer ? kClient : kUpstream;
  for (int side : {kClient, kUpstream}) {
    const std::uint32_t wanted =
        side == second_reads_from && !second_ended_ ? std::uint32_t{EPOLLIN} : 0u;
    if (watched_[side] && interest_[side] != wanted) {
      loop_.rewatch(fd(side), wanted, this, side);
      interest_[side] = wanted;
    }
  }
  // Closing before the peers have every byte would reset what is still queued.
  if (!delivered || !relay_.run().running()) return close_after_tails();
  ack_pause_ = kFirstAckPause;
  ack_deadline_ = loop_.now() + timeout();
  ack_check_at_ = loop_.now() + ack_pause_;
  loop_.disarm(timer_);
  schedule();
}

void TcpSession::closing_event(int side, std::uint32_t events) {
  const int second_reads_from = first_ended_ == kClientToServer ? kUpstream : kClient;
  if (side == second_reads_from && !second_ended_) {
    ssize_t n;
    do {
      n = ::recv(fd(side), loop_.scratch(), kRelayBufferBytes, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    // Bytes it reads it cannot pass on any more: the direction ends either way.
    if (!would_block(n)) end_second();
  }
  // A socket with nothing more to read, or a hang-up that would be reported
  // again and again: the rest is the timer's, which asks for the acknowledgements.
  if (watched_[side] &&
      (side != second_reads_from || second_ended_ || (events & (EPOLLHUP | EPOLLERR)) != 0)) {
    unwatch(side);
  }
}

void TcpSession::check_acknowledged() {
  // A FIN counts as one byte until it is acknowledged, and ACKs are
  // cumulative: one left on each socket means all the data has arrived.
  const bool acknowledged =
      unacknowledged_bytes(fd(kClient)) <= 1 && unacknowledged_bytes(fd(kUpstream)) <= 1;
  if (acknowledged || !relay_.run().running() || loop_.now() >= ack_deadline_) {
    return close_after_tails();
  }
  ack_pause_ = std::min(ack_pause_ * 2, Clock::duration(kLongestAckPause));
  ack_check_at_ = loop_.now() + ack_pause_;
  schedule();
}

void TcpSession::close_after_tails() {
  shutdown_fd(fd(kClient));
  shutdown_fd(fd(kUpstream));
  end_second();  // a direction still reading sees the shutdown as its end
  // Unread bytes would turn the closes into resets.
  discard_readable(fd(kClient));
  discard_readable(fd(kUpstream));
  finish();
}

void TcpSession::end_second() {
  if (second_ended_) return;
  second_ended_ = true;
  relay_.logger().info("route ", relay_.route().name, " relay ended ", kLabels[1 - first_ended_]);
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
  if (phase_ == Phase::kClosing) return ack_check_at_;
  if (phase_ != Phase::kRelaying) return phase_deadline_;
  // Reading from or sending to the client, or sending upstream: each has its
  // time-out. Reading from the upstream has none.
  Clock::time_point when = flows_[kClientToServer].since + timeout();
  const Flow& back = flows_[kServerToClient];
  if (back.sending()) when = std::min(when, back.since + timeout());
  return when;
}

}  // namespace tarnwicket
