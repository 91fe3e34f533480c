#include "net/bound_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

namespace tarnwicket {

UniqueFd bound_socket(const sockaddr_storage& address, int port, int type, int protocol,
                      bool reuse) {
  sockaddr_storage where = address;
  socklen_t length = sizeof(sockaddr_in);
  const auto port_be = htons(static_cast<std::uint16_t>(port));
  const bool ipv6 = address.ss_family == AF_INET6;
  if (ipv6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(where);
    in6.sin6_port = port_be;
    length = sizeof in6;
  } else {
    reinterpret_cast<sockaddr_in&>(where).sin_port = port_be;
  }
  UniqueFd fd(::socket(address.ss_family, type | SOCK_CLOEXEC, protocol));
  if (!fd) return fd;
  int on = 1;
  if (reuse) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (ipv6) {
    int v6only = IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<sockaddr_in6&>(where).sin6_addr) ? 0 : 1;
    ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
  }
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&where), length) != 0) return UniqueFd();
  return fd;
}

}  // namespace tarnwicket
