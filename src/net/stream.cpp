#include "net/stream.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "net/bound_socket.h"
#include "net/transparent.h"

namespace tarnwicket {

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

void set_timeout(int fd, int option, int timeout_ms) {
  timeval tv{};
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
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
  const int flags = entry.ai_socktype == SOCK_STREAM ? ::fcntl(fd, F_GETFL) : -1;
  const bool made_nonblocking = flags >= 0 && (flags & O_NONBLOCK) == 0;
  if (made_nonblocking) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  const bool connected = ::connect(fd, entry.ai_addr, entry.ai_addrlen) == 0 ||
                         ((errno == EINPROGRESS || errno == EINTR) && finish_connect(fd));
  // The clean-up below must not hide why the connect failed.
  const int err = errno;
  if (made_nonblocking) ::fcntl(fd, F_SETFL, flags);
  if (!connected) ::shutdown(fd, SHUT_RDWR);
  errno = err;
  return connected;
}

UniqueFd connect_to(const addrinfo& entry, const sockaddr_storage* transparent_source) {
  UniqueFd fd = open_socket_for(entry);
  if (fd && transparent_source != nullptr &&
      !bind_transparent(fd.get(), *transparent_source, true)) {
    fd.reset();
  }
  if (fd && !connect_socket(fd.get(), entry)) fd.reset();
  return fd;
}

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

void set_receive_timeout(int fd, int timeout_ms) { set_timeout(fd, SO_RCVTIMEO, timeout_ms); }

void set_send_timeout(int fd, int timeout_ms) { set_timeout(fd, SO_SNDTIMEO, timeout_ms); }

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

std::size_t unacknowledged_bytes(int fd) {
  int pending = 0;
  if (::ioctl(fd, SIOCOUTQ, &pending) != 0 || pending < 0) return 0;
  return static_cast<std::size_t>(pending);
}

void discard_readable(int fd) {
  char sink[4096];
  ssize_t n;
  do {
    n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
  } while (n > 0 || (n < 0 && errno == EINTR));
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

bool discard_exactly(int fd, std::size_t size, std::chrono::steady_clock::time_point deadline) {
  char buffer[512];
  while (size > 0) {
    // The time-out bounds one wait only: it is set again to what is left of
    // the deadline before every read.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    set_receive_timeout(fd, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
    const ssize_t n = recv_some(fd, buffer, std::min(size, sizeof buffer));
    if (n <= 0) return false;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

sockaddr_storage local_address(int fd) {
  sockaddr_storage out{};
  socklen_t length = sizeof out;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&out), &length) != 0) out = {};
  return out;
}

bool is_unusable_socket_error(int err) {
  return err == EBADF || err == EINVAL || err == ENOTSOCK || err == EOPNOTSUPP || err == EFAULT;
}

bool is_resource_error(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

}  // namespace tarnwicket
