#pragma once

// Transparent upstream sockets: a socket bound to an address that is not the
// host's own, the client's, so that the upstream sees the client. The node
// must route the replies to such an address back to its own sockets (see
// docs/operations.md, "Transparent mode").

#include <sys/socket.h>

namespace tarnwicket {

// Binds `fd` to `address` with IP_TRANSPARENT (IPV6_TRANSPARENT for an IPv6
// socket). With `keep_port` the address's port too, shared with other such
// sockets (a UDP client of several routes); else a port chosen at connect.
// False on failure (another family, no capability), errno as the failing
// call left it.
bool bind_transparent(int fd, const sockaddr_storage& address, bool keep_port);

// Whether this process may make transparent sockets: false when the kernel
// refuses IP_TRANSPARENT for want of CAP_NET_ADMIN.
bool may_use_transparent();

}  // namespace tarnwicket
