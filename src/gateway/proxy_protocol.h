#pragma once

// PROXY protocol headers, version 1 (text) and 2 (binary): parsing what a
// load balancer sends before its client's bytes, and writing what the game
// server reads before ours. Addresses are IPv4 or IPv6 sockaddrs.

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwicket {

// The longest version 1 line, CRLF included.
inline constexpr std::size_t kProxyV1MaxBytes = 107;
// Enough of the stream to parse any header: a whole version 1 line, or the
// fixed part and the largest address block of version 2 (its TLVs beyond
// that are skipped unread).
inline constexpr std::size_t kProxyParseBytes = 16 + 216;

struct ProxyHeader {
  enum class State { kNeedMore, kInvalid, kComplete };
  State state = State::kInvalid;
  // kNeedMore: bytes of the stream to wait for before parsing again.
  // kComplete: the length of the whole header, which is never more than the
  // sender wrote before its client's first byte.
  std::size_t size = 0;
  // kComplete: a LOCAL or UNKNOWN header, or one of a family without
  // addresses: the connection's own endpoints stand.
  bool local = false;
  sockaddr_storage source{};       // kComplete and not local
  sockaddr_storage destination{};  // kComplete and not local
};

// Parses the first bytes of a stream (at most kProxyParseBytes are looked at).
ProxyHeader parse_proxy_header(std::string_view data);

// Reads exactly one header from a connected socket within `limit`, leaving
// every byte after it unread; nullopt when it is missing, malformed, cut
// short or late. Changes the socket's receive time-out.
std::optional<ProxyHeader> read_proxy_header(int fd, std::chrono::milliseconds limit);

// Headers for traffic from `source` to `destination`. Mixed families are
// written as IPv6, with the IPv4 side IPv4-mapped; other families as
// "PROXY UNKNOWN" or an UNSPEC block.
std::string proxy_header_v1(const sockaddr_storage& source, const sockaddr_storage& destination);
std::string proxy_header_v2(const sockaddr_storage& source, const sockaddr_storage& destination,
                            bool datagram);

}  // namespace tarnwicket
