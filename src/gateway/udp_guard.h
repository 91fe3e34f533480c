#pragma once

// What the receiving side keeps of each UDP association against floods: the
// client's datagram budget, whether the client has shown it is real, and the
// order in which unconfirmed associations give way when the table is full.
//
// An association is confirmed once its upstream has replied and its client
// has sent again after that: a spoofed source never sees the reply, so it
// never confirms.

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>

#include "config/server_config.h"
#include "gateway/rate_limit.h"
#include "gateway/route_stats.h"
#include "net/fd.h"

namespace tarnwicket {

class UdpGuard {
 public:
  explicit UdpGuard(const ServerRoute& route)
      : rate_(route.udp_datagrams_per_second_per_client), evictable_(route.udp_evict_unconfirmed) {}

  // The receiving thread, for every datagram from the client: false when it
  // is over its cap and must be dropped.
  bool take_datagram() {
    if (evictable_ && !confirmed_ && replied_.load(std::memory_order_relaxed)) confirmed_ = true;
    return rate_ == 0 || bucket_.take(rate_, rate_now());
  }
  // The reply side, on the first reply.
  void replied() { replied_.store(true, std::memory_order_relaxed); }
  // The receiving thread only.
  bool evictable() const { return evictable_ && !confirmed_; }
  // Marked under the relay's table lock, read by the reply side, which ends
  // the association as idle when it finds it so.
  void mark_evicted() { evicted_.store(true, std::memory_order_relaxed); }
  bool evicted() const { return evicted_.load(std::memory_order_relaxed); }

 private:
  const int rate_;  // datagrams per second; 0: no cap
  const bool evictable_;
  bool confirmed_ = false;  // the receiving thread's
  std::atomic<bool> replied_{false};
  std::atomic<bool> evicted_{false};
  TokenBucket bucket_;  // the receiving thread's
};

// Under the relay's table lock: takes a filed association out of `table`
// and gives its place back at once; its thread or loop then sees the
// shut-down socket and ends it. False when it had ended already.
template <class Table, class Association>
bool evict_filed(Table& table, const std::shared_ptr<Association>& association,
                 Counter& evictions) {
  const auto it = table.find(association->key);
  if (it == table.end() || it->second != association) return false;
  table.erase(it);
  association->guard.mark_evicted();
  association->ticket.release();
  shutdown_fd(association->upstream.get());
  add(evictions);
  return true;
}

// The associations that may give way, oldest first; the receiving thread's
// own. `Association` has a UdpGuard `guard`.
template <class Association>
class EvictionQueue {
 public:
  void add(const std::shared_ptr<Association>& association) {
    queue_.push_back(association);
    if (queue_.size() < compact_at_) return;
    // Confirmed and ended ones leave now and then, so that a table that never
    // fills does not keep a growing tail.
    std::erase_if(queue_, [](const std::weak_ptr<Association>& entry) {
      const auto live = entry.lock();
      return !live || !live->guard.evictable();
    });
    compact_at_ = std::max(kCompactFrom, 2 * queue_.size());
  }

  // The oldest association still unconfirmed, taken off the queue; null
  // when there is none.
  std::shared_ptr<Association> take_oldest() {
    while (!queue_.empty()) {
      std::shared_ptr<Association> oldest = queue_.front().lock();
      queue_.pop_front();
      if (oldest && oldest->guard.evictable() && !oldest->guard.evicted()) return oldest;
    }
    return nullptr;
  }

 private:
  static constexpr std::size_t kCompactFrom = 1024;
  std::deque<std::weak_ptr<Association>> queue_;
  std::size_t compact_at_ = kCompactFrom;
};

}  // namespace tarnwicket
