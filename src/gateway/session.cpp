#include "gateway/session.h"

namespace tarnwicket {

std::string_view session_end_name(SessionEnd end) {
  constexpr std::string_view kNames[kSessionEnds] = {"client_closed",           "client_reset",
                                                     "client_timeout",          "upstream_closed",
                                                     "upstream_reset",          "upstream_timeout",
                                                     "upstream_connect_failed", "idle",
                                                     "first_reply_timeout",     "evicted",
                                                     "drain_timeout",           "stop",
                                                     "route_removed",           "error"};
  const auto index = static_cast<std::size_t>(end);
  return index < kSessionEnds ? kNames[index] : "error";
}

void Session::take(Session& other) {
  start = other.start;
  start_time = other.start_time;
  client = other.client;
  upstream = other.upstream;
  for (std::size_t d = 0; d < 2; ++d) {
    bytes[d].store(load(other.bytes[d]), std::memory_order_relaxed);
    datagrams[d].store(load(other.datagrams[d]), std::memory_order_relaxed);
  }
}

}  // namespace tarnwicket
