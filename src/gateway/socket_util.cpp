#include "gateway/socket_util.h"

#include <arpa/inet.h>
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

AddrinfoList resolve_ipv4(const std::string& host, int port, int socktype, int protocol) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = socktype;
  hints.ai_protocol = protocol;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) return nullptr;
  return AddrinfoList(list);
}

namespace {

// A blocking connect interrupted by a signal goes on in the background; wait
// for its outcome, within the socket's send time-out, instead of starting a
// second one.
bool finish_interrupted_connect(int fd) {
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
  errno = err;
  return err == 0;
}

sockaddr_in ipv4_address(std::uint32_t address, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  return sa;
}

}  // namespace

UniqueFd open_socket_for(const addrinfo& entry) {
  UniqueFd fd(::socket(entry.ai_family, entry.ai_socktype | SOCK_CLOEXEC, entry.ai_protocol));
  if (fd && entry.ai_socktype == SOCK_STREAM) set_nodelay(fd.get());
  return fd;
}

bool connect_socket(int fd, const addrinfo& entry) {
  if (::connect(fd, entry.ai_addr, entry.ai_addrlen) == 0) return true;
  if (errno == EINTR && finish_interrupted_connect(fd)) return true;
  ::shutdown(fd, SHUT_RDWR);
  return false;
}

UniqueFd connect_to(const addrinfo& entry) {
  UniqueFd fd = open_socket_for(entry);
  if (fd && !connect_socket(fd.get(), entry)) fd.reset();
  return fd;
}

UniqueFd open_tcp_listener(std::uint32_t address, int port, int backlog) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!fd) return fd;
  // Lets a restart bind while the previous run's connections sit in
  // TIME_WAIT; Linux still refuses a port on which another socket listens.
  int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in sa = ipv4_address(address, port);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
      ::listen(fd.get(), backlog) != 0) {
    return UniqueFd();
  }
  return fd;
}

UniqueFd open_udp_socket(std::uint32_t address, int port) {
  // No SO_REUSEADDR here: on UDP it would let two processes share the port.
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!fd) return fd;
  const sockaddr_in sa = ipv4_address(address, port);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return UniqueFd();
  return fd;
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
  ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
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
                  socklen_t& from_len, in_addr* destination) {
  ssize_t n;
  if (destination == nullptr) {
    do {
      from_len = sizeof from;
      n = ::recvfrom(fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  iovec data{buffer, size};
  msghdr message{};
  do {
    message = msghdr{&from, sizeof from, &data, 1, control, sizeof control, 0};
    n = ::recvmsg(fd, &message, 0);
  } while (n < 0 && errno == EINTR);
  from_len = message.msg_namelen;
  destination->s_addr = htonl(INADDR_ANY);
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); n >= 0 && c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      *destination = info.ipi_addr;
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

ssize_t send_datagram_to(int fd, const char* data, std::size_t size, const sockaddr_storage& to,
                         socklen_t to_len, in_addr source) {
  ssize_t n;
  if (source.s_addr == htonl(INADDR_ANY)) {
    do {
      n = ::sendto(fd, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), to_len);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  iovec payload{const_cast<char*>(data), size};
  msghdr message{
      const_cast<sockaddr_storage*>(&to), to_len, &payload, 1, control, sizeof control, 0};
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info{};
  info.ipi_spec_dst = source;
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
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
