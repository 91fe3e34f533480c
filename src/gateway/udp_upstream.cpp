#include "gateway/udp_upstream.h"

#include <netinet/in.h>

#include <cstring>
#include <stdexcept>

#include "gateway/proxy_protocol.h"
#include "net/address.h"
#include "net/stream.h"

namespace tarnwicket {

UniqueFd connect_upstream_udp(const RouteSettings& settings, Counter& failures,
                              const sockaddr_storage& client, Session& session) {
  const ServerRoute& route = settings.route;
  AddrinfoList list = resolve_target(route.target_host, route.target_port, SOCK_DGRAM, IPPROTO_UDP);
  if (!list) {
    add(failures);
    throw std::runtime_error("解析 UDP 上游地址失败");
  }
  for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
    UniqueFd fd = connect_to(*entry, route.transparent ? &client : nullptr);
    if (!fd) continue;
    std::memcpy(&session.upstream, entry->ai_addr, entry->ai_addrlen);
    return fd;
  }
  add(failures);
  throw std::runtime_error("连接 UDP 上游失败 " + route.target_host + ":" +
                           std::to_string(route.target_port));
}

std::string udp_proxy_prefix(const ServerRoute& route, int udp_fd, const sockaddr_storage& client,
                             const sockaddr_storage& destination) {
  sockaddr_storage local =
      destination.ss_family == AF_UNSPEC ? local_address(udp_fd) : unmapped(destination);
  const auto port_be = htons(static_cast<std::uint16_t>(route.listen_port));
  if (local.ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6&>(local).sin6_port = port_be;
  } else {
    reinterpret_cast<sockaddr_in&>(local).sin_port = port_be;
  }
  return proxy_header_v2(client, local, true);
}

}  // namespace tarnwicket
