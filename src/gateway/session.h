#pragma once

// One admitted client's session as its record will tell it: who, where to,
// since when, how much, and why it ended. The admission ticket carries it;
// the relay adds the counts and the upstream as it goes.

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "gateway/route_stats.h"

namespace tarnwicket {

// Why a session ended; each has a series in the metrics from the start.
enum class SessionEnd : std::uint8_t {
  kClientClosed,
  kClientReset,
  kClientTimeout,
  kUpstreamClosed,
  kUpstreamReset,
  kUpstreamTimeout,  // a send to an upstream that reads nothing gave up
  kUpstreamConnectFailed,
  kIdle,               // UDP
  kFirstReplyTimeout,  // UDP
  kEvicted,            // UDP: its place went to a new client
  kDrainTimeout,
  kStop,
  kRouteRemoved,
  kError,  // anything else, such as a resource failure
};
static_assert(static_cast<std::size_t>(SessionEnd::kError) + 1 == kSessionEnds);

// The name in records and metric labels ("client_closed", ...).
std::string_view session_end_name(SessionEnd end);

struct Session {
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // Before the relay starts, on one thread only.
  void take(Session& other);

  std::chrono::steady_clock::time_point start;
  std::chrono::system_clock::time_point start_time;  // the same moment, for the record
  sockaddr_storage client{};                         // unmapped; behind a balancer, the header's
  sockaddr_storage upstream{};                       // connected; AF_UNSPEC until then
  Counter bytes[2]{};                                // payload, by Direction
  Counter datagrams[2]{};                            // by Direction; UDP only
};

}  // namespace tarnwicket
