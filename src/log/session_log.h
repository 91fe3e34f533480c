#pragma once

// Session records: one line per ended TCP connection or UDP association,
// JSON or key=value text, to standard output or a file of their own. A
// stream apart from the main log, which never carries a client address.
// Writing never blocks a relay: records that do not fit are dropped and
// counted.

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <string_view>

namespace tarnwicket {

// What one record says; plain values, so that the log needs nothing of the
// gateway. `client` is written as the address mode says.
struct SessionRecord {
  std::string_view route;
  std::string_view protocol;  // "tcp" or "udp"
  const sockaddr_storage* client = nullptr;
  const sockaddr_storage* upstream = nullptr;  // AF_UNSPEC: never connected
  std::chrono::system_clock::time_point start;
  std::chrono::system_clock::time_point end;
  std::uint64_t duration_ms = 0;
  std::uint64_t bytes_from_client = 0;
  std::uint64_t bytes_to_client = 0;
  std::uint64_t datagrams_from_client = 0;
  std::uint64_t datagrams_to_client = 0;
  std::string_view end_reason;
};

class SessionLog {
 public:
  // Off until configured: write() then does nothing.
  bool enabled() const noexcept;
  void write(const SessionRecord& record) noexcept;
  // Records lost to a full buffer or a failed output, since the start.
  std::uint64_t dropped() const noexcept;
};

}  // namespace tarnwicket
