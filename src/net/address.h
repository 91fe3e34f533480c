#pragma once

// Socket addresses: parsing, the forms the gateway keys clients by, and the
// resolution of upstream targets.

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwicket {

// The numeric address `text` (IPv4 or IPv6) with port 0, or nullopt.
std::optional<sockaddr_storage> parse_ip_address(const std::string& text);

// Turns an IPv4-mapped IPv6 address (an IPv4 client of a dual-stack socket)
// into the IPv4 address it is, so that it counts as IPv4 everywhere.
void unmap_ipv4(sockaddr_storage& address, socklen_t& length);
sockaddr_storage unmapped(const sockaddr_storage& address);

// The address bytes (no port) as a map key.
std::string address_key(const sockaddr_storage& address);

// Numeric "host:port" of an address, as getnameinfo writes it with numeric
// host and service, or "unknown". Writes into `out` and returns a view of it.
inline constexpr std::size_t kClientKeyBytes = 1025 + 1 + 32;
std::string_view client_key(const sockaddr_storage& address, socklen_t length,
                            char (&out)[kClientKeyBytes]);
// A UDP client as received (`from`) put in `client` with IPv4 unmapped, so that
// an IPv4 client of a dual-stack socket is keyed, counted and named as IPv4
// (replies still go to `from`); returns its client_key.
std::string_view udp_client(const sockaddr_storage& from, socklen_t from_len,
                            sockaddr_storage& client, char (&out)[kClientKeyBytes]);

struct AddrinfoDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrinfoList = std::unique_ptr<addrinfo, AddrinfoDeleter>;

// Addresses of host:port in resolver order: the address itself for an IPv6
// literal, else IPv4 ones; null when resolution fails.
AddrinfoList resolve_target(const std::string& host, int port, int socktype, int protocol);

}  // namespace tarnwicket
