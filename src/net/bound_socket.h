#pragma once

// Internal to the socket library: what its TCP listeners and UDP sockets share.

#include <sys/socket.h>

#include "net/fd.h"

namespace tarnwicket {

// A socket of the address's family bound to it and the port; IPv6 wildcard
// sockets take IPv4 clients too. Empty on failure, errno as the failing call
// left it.
UniqueFd bound_socket(const sockaddr_storage& address, int port, int type, int protocol,
                      bool reuse);

}  // namespace tarnwicket
