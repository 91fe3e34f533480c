#include "gateway/socket_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarnwicket {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

void FdList::shutdown_all() {
  std::lock_guard lock(mutex_);
  shutting_down_ = true;
  for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
}

void FdList::reopen() {
  std::lock_guard lock(mutex_);
  shutting_down_ = false;
}

ListedFd::ListedFd(FdList& list, UniqueFd fd) : list_(&list), fd_(fd.get()) {
  std::lock_guard lock(list.mutex_);
  list.fds_.push_back(fd_);
  if (list.shutting_down_) ::shutdown(fd_, SHUT_RDWR);
  fd.release();
}

ListedFd::~ListedFd() {
  if (fd_ < 0) return;
  {
    std::lock_guard lock(list_->mutex_);
    auto& fds = list_->fds_;
    const auto it = std::find(fds.begin(), fds.end(), fd_);
    if (it != fds.end()) fds.erase(it);
  }
  shutdown_and_close(fd_);
}

AddrinfoList resolve_target(const std::string& host, int port, int socktype, int protocol) {
  addrinfo hints{};
  in6_addr literal{};
  const bool ipv6 = ::inet_pton(AF_INET6, host.c_str(), &literal) == 1;
  hints.ai_family = ipv6 ? AF_INET6 : AF_INET;
  hints.ai_flags = ipv6 ? AI_NUMERICHOST : 0;
  hints.ai_socktype = socktype;
  hints.ai_protocol = protocol;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) return nullptr;
  return AddrinfoList(list);
}

namespace {

// Waits for the outcome of a connect in progress, within the socket's send
// time-out. A socket that another thread shut down, even before its connect
// began, reports a hang-up at once and fails.
bool finish_connect(int fd) {
  timeval limit{};
  socklen_t limit_len = sizeof limit;
  ::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, &limit_len);
  const long limit_ms = limit.tv_sec * 1000 + limit.tv_usec / 1000;
  pollfd p{fd, POLLOUT, 0};
  int ready;
  while ((ready = ::poll(&p, 1, limit_ms > 0 ? static_cast<int>(limit_ms) : -1)) < 0) {
    if (errno != EINTR) return false;
  }
  if (ready == 0) {
    errno = ETIMEDOUT;
    return false;
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return false;
  if (err == 0 && (p.revents & POLLHUP) != 0) err = ECONNABORTED;
  errno = err;
  return err == 0;
}

void set_blocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

}  // namespace

UniqueFd open_socket_for(const addrinfo& entry) {
  UniqueFd fd(::socket(entry.ai_family, entry.ai_socktype | SOCK_CLOEXEC, entry.ai_protocol));
  if (fd && entry.ai_socktype == SOCK_STREAM) set_nodelay(fd.get());
  return fd;
}

bool connect_socket(int fd, const addrinfo& entry) {
  // A blocking TCP connect on a socket that stop() shut down just before it
  // would wait out the whole time-out; poll sees the shutdown at once.
  const bool stream = entry.ai_socktype == SOCK_STREAM;
  if (stream) set_blocking(fd, false);
  const bool connected = ::connect(fd, entry.ai_addr, entry.ai_addrlen) == 0 ||
                         ((errno == EINPROGRESS || errno == EINTR) && finish_connect(fd));
  if (stream) set_blocking(fd, true);
  if (!connected) ::shutdown(fd, SHUT_RDWR);
  return connected;
}

UniqueFd connect_to(const addrinfo& entry) {
  UniqueFd fd = open_socket_for(entry);
  if (fd && !connect_socket(fd.get(), entry)) fd.reset();
  return fd;
}

std::optional<sockaddr_storage> parse_ip_address(const std::string& text) {
  sockaddr_storage out{};
  auto& in = reinterpret_cast<sockaddr_in&>(out);
  auto& in6 = reinterpret_cast<sockaddr_in6&>(out);
  if (::inet_pton(AF_INET, text.c_str(), &in.sin_addr) == 1) {
    in.sin_family = AF_INET;
  } else if (::inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr) == 1) {
    in6.sin6_family = AF_INET6;
  } else {
    return std::nullopt;
  }
  return out;
}

namespace {

// A socket of the address's family bound to it and the port; IPv6 wildcard
// sockets take IPv4 clients too.
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

}  // namespace

UniqueFd open_tcp_listener(const sockaddr_storage& address, int port, int backlog) {
  UniqueFd fd = bound_socket(address, port, SOCK_STREAM, IPPROTO_TCP, true);
  if (fd && ::listen(fd.get(), backlog) != 0) return UniqueFd();
  return fd;
}

UniqueFd open_tcp_listener(std::uint32_t address, int port, int backlog) {
  sockaddr_storage where{};
  auto& in = reinterpret_cast<sockaddr_in&>(where);
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = address;
  return open_tcp_listener(where, port, backlog);
}

UniqueFd open_udp_socket(const sockaddr_storage& address, int port) {
  return bound_socket(address, port, SOCK_DGRAM, IPPROTO_UDP, false);
}

bool send_unix_datagram(std::string_view path, std::string_view data) {
  sockaddr_un to{};
  const bool abstract = path.starts_with('@');
  if ((!abstract && !path.starts_with('/')) || path.size() > sizeof to.sun_path) return false;
  to.sun_family = AF_UNIX;
  path.copy(to.sun_path, path.size());
  if (abstract) to.sun_path[0] = '\0';
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  const UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket) return false;
  ssize_t sent = -1;
  do {
    sent = ::sendto(socket.get(), data.data(), data.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&to), length);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(data.size());
}

void shutdown_fd(int fd) {
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void shutdown_and_close(int& fd) {
  if (fd < 0) return;
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
  fd = -1;
}

namespace {

void set_timeout(int fd, int option, int timeout_ms) {
  timeval tv{};
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

void set_receive_timeout(int fd, int timeout_ms) { set_timeout(fd, SO_RCVTIMEO, timeout_ms); }

void set_send_timeout(int fd, int timeout_ms) { set_timeout(fd, SO_SNDTIMEO, timeout_ms); }

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

sockaddr_storage local_address(int fd) {
  sockaddr_storage out{};
  socklen_t length = sizeof out;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&out), &length) != 0) out = {};
  return out;
}

ssize_t peek_at_least(int fd, void* buffer, std::size_t size, std::size_t at_least) {
  // The low-water mark makes the peek wait for more than what is there.
  int mark = static_cast<int>(std::min(at_least, size));
  if (mark > 1) ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark);
  ssize_t n;
  do {
    n = ::recv(fd, buffer, size, MSG_PEEK);
  } while (n < 0 && errno == EINTR);
  const int err = errno;
  if (mark > 1) {
    mark = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark);
  }
  errno = err;
  return n;
}

bool discard_exactly(int fd, std::size_t size) {
  char buffer[512];
  while (size > 0) {
    const ssize_t n = ::recv(fd, buffer, std::min(size, sizeof buffer), MSG_WAITALL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void set_nodelay(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int accept_client(int listener, sockaddr_storage& from) {
  int fd;
  do {
    socklen_t from_len = sizeof from;
    fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&from), &from_len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t recv_some(int fd, void* buffer, std::size_t size) {
  ssize_t n;
  do {
    n = ::recv(fd, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t recv_from(int fd, void* buffer, std::size_t size, sockaddr_storage& from,
                  socklen_t& from_len, sockaddr_storage* destination) {
  ssize_t n;
  if (destination == nullptr) {
    do {
      from_len = sizeof from;
      n = ::recvfrom(fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))];
  iovec data{buffer, size};
  msghdr message{};
  do {
    message = msghdr{&from, sizeof from, &data, 1, control, sizeof control, 0};
    n = ::recvmsg(fd, &message, 0);
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

bool send_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
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

bool is_unusable_socket_error(int err) {
  return err == EBADF || err == EINVAL || err == ENOTSOCK || err == EOPNOTSUPP || err == EFAULT;
}

bool is_resource_error(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

std::string_view client_key(const sockaddr_storage& address, socklen_t length,
                            char (&out)[kClientKeyBytes]) {
  if (address.ss_family == AF_INET && length >= sizeof(sockaddr_in)) {
    // The same text as getnameinfo's numeric form, without its locking.
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    if (::inet_ntop(AF_INET, &in.sin_addr, out, INET_ADDRSTRLEN) != nullptr) {
      std::size_t used = std::strlen(out);
      out[used++] = ':';
      unsigned port = ntohs(in.sin_port);
      char digits[5];
      std::size_t count = 0;
      do {
        digits[count++] = static_cast<char>('0' + port % 10);
        port /= 10;
      } while (port != 0);
      while (count > 0) out[used++] = digits[--count];
      return std::string_view(out, used);
    }
  }
  char host[1025];
  char service[32];
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host, sizeof host,
                    service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "unknown";
  }
  const std::size_t host_len = std::strlen(host);
  const std::size_t service_len = std::strlen(service);
  std::memcpy(out, host, host_len);
  out[host_len] = ':';
  std::memcpy(out + host_len + 1, service, service_len);
  return std::string_view(out, host_len + 1 + service_len);
}

}  // namespace tarnwicket
