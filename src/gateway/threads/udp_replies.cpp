// The reply side of the thread engine's UDP associations: each has its own
// connected upstream socket and a thread that sends the replies back.

#include <cerrno>

#include "gateway/threads/thread_engine.h"
#include "gateway/threads/udp_association.h"
#include "net/datagram.h"
#include "net/stream.h"

namespace tarnwicket {

namespace {

constexpr std::size_t kDatagramBytes = 65536;

}  // namespace

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
