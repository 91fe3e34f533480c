#pragma once

// Per-route counters, updated on the relay path once per chunk, datagram or
// connection. Relaxed atomics only: each value is read on its own by a scrape,
// so no ordering between them is promised or needed.

#include <atomic>
#include <cstdint>

namespace tarnwicket {

using Counter = std::atomic<std::uint64_t>;
using Gauge = std::atomic<std::int64_t>;  // opens minus closes

inline void add(Counter& counter, std::uint64_t n = 1) {
  counter.fetch_add(n, std::memory_order_relaxed);
}
inline void add(Gauge& gauge, std::int64_t n) { gauge.fetch_add(n, std::memory_order_relaxed); }

struct RouteStats {
  Gauge tcp_open{0};
  Counter tcp_accepted{0};
  Counter tcp_refused_limit{0};
  Counter tcp_refused_per_address{0};  // for per-address limits
  Counter tcp_refused_allow_list{0};   // for allow lists
  Counter tcp_connect_failures{0};
  Counter tcp_bytes_client_to_server{0};
  Counter tcp_bytes_server_to_client{0};
  Counter tcp_refused_bad_proxy_header{0};  // for routes that accept the PROXY protocol
  Counter tcp_refused_untrusted_proxy{0};

  Gauge udp_open{0};
  Counter udp_created{0};
  Counter udp_connect_failures{0};
  Counter udp_datagrams_client_to_server{0};
  Counter udp_datagrams_server_to_client{0};
  Counter udp_bytes_client_to_server{0};
  Counter udp_bytes_server_to_client{0};
  Counter udp_dropped_limit{0};
  Counter udp_dropped_per_address{0};  // for per-address limits
  Counter udp_dropped_allow_list{0};   // for allow lists
  Counter udp_dropped_send_failed{0};
};

}  // namespace tarnwicket
