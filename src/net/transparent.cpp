#include "net/transparent.h"

#include <netinet/in.h>

#include <cerrno>

#include "net/fd.h"

namespace tarnwicket {

namespace {

bool set_flag(int fd, int level, int option) {
  int on = 1;
  return ::setsockopt(fd, level, option, &on, sizeof on) == 0;
}

}  // namespace

bool bind_transparent(int fd, const sockaddr_storage& address, bool keep_port) {
  sockaddr_storage where = address;
  socklen_t length = sizeof(sockaddr_in);
  const bool v6 = where.ss_family == AF_INET6;
  if (v6) {
    length = sizeof(sockaddr_in6);
    if (!keep_port) reinterpret_cast<sockaddr_in6&>(where).sin6_port = 0;
  } else if (!keep_port) {
    reinterpret_cast<sockaddr_in&>(where).sin_port = 0;
  }
  if (!set_flag(fd, v6 ? SOL_IPV6 : SOL_IP, v6 ? IPV6_TRANSPARENT : IP_TRANSPARENT)) {
    return false;
  }
  if (keep_port) {
    set_flag(fd, SOL_SOCKET, SO_REUSEADDR);
  } else {
    // The port is chosen at connect, for the whole four-tuple: many
    // connections of one client address need not each hold a port of their own.
    set_flag(fd, SOL_IP, IP_BIND_ADDRESS_NO_PORT);
  }
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&where), length) == 0;
}

bool may_use_transparent() {
  UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe) return true;  // no socket to ask with: the connects will tell
  return set_flag(probe.get(), SOL_IP, IP_TRANSPARENT) || errno != EPERM;
}

}  // namespace tarnwicket
