#pragma once

// Per-route counters, updated on the relay path once per chunk, datagram or
// client. Relaxed atomics only: each value is read on its own by a scrape or
// the refusal line, so no ordering between them is promised or needed.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tarnwicket {

using Counter = std::atomic<std::uint64_t>;
using Gauge = std::atomic<std::int64_t>;  // opens minus closes

inline void add(Counter& counter, std::uint64_t n = 1) {
  counter.fetch_add(n, std::memory_order_relaxed);
}
inline void add(Gauge& gauge, std::int64_t n) { gauge.fetch_add(n, std::memory_order_relaxed); }
template <class T>
T load(const std::atomic<T>& value) {
  return value.load(std::memory_order_relaxed);
}

enum Protocol : std::uint8_t { kTcp, kUdp };
inline constexpr std::size_t kProtocols = 2;

enum Direction : std::uint8_t { kClientToServer, kServerToClient };

// Why a client was turned away (for UDP: why a datagram was dropped).
enum Refusal : std::uint8_t {
  kLimit,           // max_connections
  kPerAddress,      // max_connections_per_address
  kAllowList,       // allow
  kBadProxyHeader,  // accept_proxy_protocol: missing, malformed or late header
  kUntrustedProxy,  // accept_proxy_protocol: not from trusted_proxies
  kSendFailed,      // UDP only: the datagram could not be sent on
  kRate,            // new_clients_per_second
  kAddressRate,     // new_clients_per_address_per_second
  kDenyList,        // deny
  kClientRate,      // UDP only: udp_datagrams_per_second_per_client
};
inline constexpr std::size_t kRefusals = 10;

// How many ways a session can end (SessionEnd, session.h).
inline constexpr std::size_t kSessionEnds = 14;

// A duration histogram's counts by bucket, not cumulative (that is left to
// the exposition), the last one +Inf; and the sum of what was observed.
struct Histogram {
  static constexpr std::size_t kMostBounds = 11;
  Counter counts[kMostBounds + 1]{};
  Counter sum_micros{0};
};

// One protocol's side of a route. `open` is the one count of live clients:
// the admission ticket adds to it and gives back, and the limit is checked
// against it.
struct ProtocolStats {
  Gauge open{0};
  Counter admitted{0};
  Counter connect_failures{0};
  Counter bytes[2]{};      // by Direction
  Counter datagrams[2]{};  // by Direction; UDP only
  Counter refused[kRefusals]{};
  Counter ended[kSessionEnds]{};  // by SessionEnd
  Histogram duration;             // of sessions, when they end
  Counter evicted{0};             // UDP only: unconfirmed associations ended to make room
};

struct RouteStats {
  ProtocolStats protocol[kProtocols];
  Histogram upstream_connect;  // TCP connects that succeeded

  ProtocolStats& tcp() { return protocol[kTcp]; }
  ProtocolStats& udp() { return protocol[kUdp]; }
  const ProtocolStats& tcp() const { return protocol[kTcp]; }
  const ProtocolStats& udp() const { return protocol[kUdp]; }
};

// Adds every counter of `from` to `into` (gauges excluded): the totals of a
// retired record are kept under its route's name.
void add_counters(RouteStats& into, const RouteStats& from);

}  // namespace tarnwicket
