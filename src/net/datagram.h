#pragma once

// UDP sockets and datagram I/O. Like every raw socket call of the gateway,
// these retry EINTR themselves, never raise SIGPIPE, and report failure
// through their result with errno left as the failing call set it.

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <string_view>

#include "net/fd.h"

namespace tarnwicket {

// A UDP socket bound to an IPv4 or IPv6 address (its port is ignored); empty
// on failure. The IPv6 wildcard binds dual stack: IPv4 clients arrive
// IPv4-mapped.
UniqueFd open_udp_socket(const sockaddr_storage& address, int port);

// Asks for a receive buffer of `bytes`; returns how much of it the kernel
// granted (net.core.rmem_max caps it).
int set_receive_buffer(int fd, int bytes);
// Makes recv_from report each datagram's destination address, which on a
// socket bound to the wildcard address tells which of the host's addresses
// the client sent to.
void report_destination_address(int fd);

// With a non-null `destination`, also the address the datagram was sent to
// (see report_destination_address), or AF_UNSPEC when unknown; an IPv6 one
// carries its interface as scope id when it is link-local. `flags` as recvmsg's.
ssize_t recv_from(int fd, void* buffer, std::size_t size, sockaddr_storage& from,
                  socklen_t& from_len, sockaddr_storage* destination = nullptr, int flags = 0);
ssize_t send_datagram(int fd, const char* data, std::size_t size);
// One datagram of `head` followed by `data`, without copying them together.
ssize_t send_datagram_after(int fd, std::string_view head, const char* data, std::size_t size);
// Sent from `source` when it is an address (a socket bound to the wildcard
// address), else from the socket's own address.
ssize_t send_datagram_to(int fd, const char* data, std::size_t size, const sockaddr_storage& to,
                         socklen_t to_len, const sockaddr_storage* source = nullptr);

}  // namespace tarnwicket
