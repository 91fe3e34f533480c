#pragma once

// What both engines do for a new UDP association before it relays: connect
// its upstream socket and make the PROXY prefix its datagrams carry.

#include <sys/socket.h>

#include <string>

#include "gateway/route_settings.h"
#include "gateway/route_stats.h"
#include "gateway/session.h"
#include "net/fd.h"

namespace tarnwicket {

// Connected to the first of the route's upstream addresses that takes it,
// bound to `client` on a transparent route; the upstream is noted in
// `session`. Counts in `failures` and throws when there is none.
UniqueFd connect_upstream_udp(const RouteSettings& settings, Counter& failures,
                              const sockaddr_storage& client, Session& session);

// The PROXY v2 header of `client` -> the address it sent to on the route's
// port: `destination` as reported per datagram on a wildcard socket, else
// the address of `udp_fd`.
std::string udp_proxy_prefix(const ServerRoute& route, int udp_fd, const sockaddr_storage& client,
                             const sockaddr_storage& destination);

}  // namespace tarnwicket
