#include "net/datagram.h"

#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "net/bound_socket.h"
#include "net/stream.h"

namespace tarnwicket {

UniqueFd open_udp_socket(const sockaddr_storage& address, int port) {
  return bound_socket(address, port, SOCK_DGRAM, IPPROTO_UDP, false);
}

int set_receive_buffer(int fd, int bytes) {
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  int granted = 0;
  socklen_t len = sizeof granted;
  ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &len);
  return granted / 2;  // Linux doubles the request for its bookkeeping and reports that
}

void report_destination_address(int fd) {
  int on = 1;
  sockaddr_storage self = local_address(fd);
  if (self.ss_family == AF_INET6) {
    // Also for IPv4 datagrams on a dual-stack socket, as IPv4-mapped addresses.
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
  } else {
    ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  }
}

ssize_t recv_from(int fd, void* buffer, std::size_t size, sockaddr_storage& from,
                  socklen_t& from_len, sockaddr_storage* destination, int flags) {
  ssize_t n;
  if (destination == nullptr) {
    do {
      from_len = sizeof from;
      n = ::recvfrom(fd, buffer, size, flags, reinterpret_cast<sockaddr*>(&from), &from_len);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))];
  iovec data{buffer, size};
  msghdr message{};
  do {
    message = msghdr{&from, sizeof from, &data, 1, control, sizeof control, 0};
    n = ::recvmsg(fd, &message, flags);
  } while (n < 0 && errno == EINTR);
  from_len = message.msg_namelen;
  *destination = {};
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); n >= 0 && c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      auto& in = reinterpret_cast<sockaddr_in&>(*destination);
      in.sin_family = AF_INET;
      in.sin_addr = info.ipi_addr;
    } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
      in6_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      auto& in6 = reinterpret_cast<sockaddr_in6&>(*destination);
      in6.sin6_family = AF_INET6;
      in6.sin6_addr = info.ipi6_addr;
      // A link-local source is ambiguous without its interface.
      if (IN6_IS_ADDR_LINKLOCAL(&info.ipi6_addr)) in6.sin6_scope_id = info.ipi6_ifindex;
    }
  }
  return n;
}

ssize_t send_datagram(int fd, const char* data, std::size_t size) {
  ssize_t n;
  do {
    n = ::send(fd, data, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t send_datagram_after(int fd, std::string_view head, const char* data, std::size_t size) {
  iovec parts[2] = {{const_cast<char*>(head.data()), head.size()}, {const_cast<char*>(data), size}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  ssize_t n;
  do {
    n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t send_datagram_to(int fd, const char* data, std::size_t size, const sockaddr_storage& to,
                         socklen_t to_len, const sockaddr_storage* source) {
  ssize_t n;
  const int family = source == nullptr ? AF_UNSPEC : source->ss_family;
  if (family != AF_INET && family != AF_INET6) {
    do {
      n = ::sendto(fd, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), to_len);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
  iovec payload{const_cast<char*>(data), size};
  msghdr message{
      const_cast<sockaddr_storage*>(&to), to_len, &payload, 1, control, sizeof control, 0};
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  if (family == AF_INET) {
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst = reinterpret_cast<const sockaddr_in*>(source)->sin_addr;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    message.msg_controllen = CMSG_SPACE(sizeof(in_pktinfo));
  } else {
    // On a dual-stack socket an IPv4-mapped source serves IPv4 clients too.
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(source);
    c->cmsg_level = IPPROTO_IPV6;
    c->cmsg_type = IPV6_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
    in6_pktinfo info{};
    info.ipi6_addr = in6->sin6_addr;
    info.ipi6_ifindex = in6->sin6_scope_id;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
  }
  do {
    n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace tarnwicket
