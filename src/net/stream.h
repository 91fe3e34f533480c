#pragma once

// Connecting, listening and stream I/O. Like every raw socket call of the
// gateway, these retry EINTR themselves, never raise SIGPIPE, and report
// failure through their result with errno left as the failing call set it.

#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "net/fd.h"

namespace tarnwicket {

// A socket of the entry's kind connected to it, or an empty UniqueFd. With
// `transparent_source`, bound first to that address and port (see
// bind_transparent in transparent.h).
UniqueFd connect_to(const addrinfo& entry, const sockaddr_storage* transparent_source = nullptr);
// The two steps of connect_to, for a socket that must be listed or given
// options before it connects. A send time-out on the socket bounds the
// connect; a shutdown from another thread aborts it.
UniqueFd open_socket_for(const addrinfo& entry);
bool connect_socket(int fd, const addrinfo& entry);

// A listening TCP socket on an IPv4 or IPv6 address (its port is ignored);
// empty on failure. It reuses addresses in TIME_WAIT only. The IPv6 wildcard
// listens dual stack: IPv4 clients arrive IPv4-mapped.
UniqueFd open_tcp_listener(const sockaddr_storage& address, int port, int backlog);
// A TCP listener on an IPv4 address in network byte order.
UniqueFd open_tcp_listener(std::uint32_t address, int port, int backlog);

// Option setters; failures are ignored, as the relay works without them.
void set_receive_timeout(int fd, int timeout_ms);
void set_send_timeout(int fd, int timeout_ms);
void set_nodelay(int fd);

int accept_client(int listener, sockaddr_storage& from);  // -1 on failure
ssize_t recv_some(int fd, void* buffer, std::size_t size);
bool send_all(int fd, const char* data, std::size_t size);

// For a header at the start of a stream: waits until at least `at_least`
// bytes are readable (within the receive time-out) and copies up to `size`
// of them without consuming any; fewer on close or time-out.
ssize_t peek_at_least(int fd, void* buffer, std::size_t size, std::size_t at_least);
// Reads and drops exactly `size` bytes by `deadline`, however slowly they
// trickle in; false when they do not all come in time. Changes the socket's
// receive time-out.
bool discard_exactly(int fd, std::size_t size, std::chrono::steady_clock::time_point deadline);
// Sequence space sent on the socket that the peer has not acknowledged yet: the
// bytes, and one for a FIN; 0 on failure.
std::size_t unacknowledged_bytes(int fd);
// Reads and drops whatever the socket holds now, without waiting.
void discard_readable(int fd);
// The local address of a socket; AF_UNSPEC on failure.
sockaddr_storage local_address(int fd);

// Errors after which a listening socket is of no further use.
bool is_unusable_socket_error(int err);
// Errors that mean the process or system is short of descriptors or memory.
bool is_resource_error(int err);

}  // namespace tarnwicket
