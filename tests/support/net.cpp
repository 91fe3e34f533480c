#include "support/net.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace tarnwicket::test {

namespace {

constexpr size_t kChunkBytes = 65536;

[[noreturn]] void throw_errno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

sockaddr* as_sockaddr(sockaddr_in& addr) { return reinterpret_cast<sockaddr*>(&addr); }

// A socket bound to 127.0.0.1:port (0: any free port); empty when the port is taken.
Fd bound_socket(int type, int port) {
  Fd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd) throw_errno("socket");
  sockaddr_in addr = loopback(port);
  return ::bind(fd.get(), as_sockaddr(addr), sizeof addr) == 0 ? std::move(fd) : Fd();
}

int local_port(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, as_sockaddr(addr), &len) != 0) throw_errno("getsockname");
  return ntohs(addr.sin_port);
}

void set_timeout(int fd, int option, time_t seconds) {
  const timeval tv{seconds, 0};
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// Waits until fd is readable; false when `until` passes first.
bool wait_readable(int fd, std::chrono::steady_clock::time_point until) {
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    const int rc = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (rc >= 0 || errno != EINTR) return rc > 0;
  }
}

}  // namespace

Fd::~Fd() { reset(); }

Fd::Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void Fd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int free_port() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    Fd tcp = bound_socket(SOCK_STREAM, 0);
    if (!tcp) continue;
    const int port = local_port(tcp.get());
    if (bound_socket(SOCK_DGRAM, port)) return port;
  }
  throw std::runtime_error("no free port on 127.0.0.1");
}

TcpEchoServer::TcpEchoServer(size_t reset_after)
    : listener_(bound_socket(SOCK_STREAM, 0)), reset_after_(reset_after) {
  if (!listener_ || ::listen(listener_.get(), 128) != 0) throw_errno("echo listener");
  port_ = local_port(listener_.get());
  acceptor_ = std::thread([this] {
    for (;;) {
      const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (stopping_.load()) {
        if (fd >= 0) ::close(fd);
        return;
      }
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      ++accepted_;
      std::lock_guard lock(mutex_);
      live_fds_.push_back(fd);
      threads_.emplace_back([this, fd] { serve(fd); });
    }
  });
}

TcpEchoServer::~TcpEchoServer() {
  stopping_.store(true);
  // shutdown wakes a thread blocked in accept or recv; close alone does not.
  ::shutdown(listener_.get(), SHUT_RDWR);
  acceptor_.join();
  std::list<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    for (int fd : live_fds_) ::shutdown(fd, SHUT_RDWR);
    threads.swap(threads_);
  }
  for (auto& thread : threads) thread.join();
}

void TcpEchoServer::serve(int fd) {
  std::string buffer(kChunkBytes, '\0');
  size_t echoed = 0;
  for (;;) {
    const size_t want =
        reset_after_ > 0 ? std::min(kChunkBytes, reset_after_ - echoed) : kChunkBytes;
    const ssize_t n = ::recv(fd, buffer.data(), want, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !send_all(fd, buffer.data(), static_cast<size_t>(n))) break;
    echoed += static_cast<size_t>(n);
    if (echoed == reset_after_) {
      // A zero linger time makes close send RST instead of FIN.
      const linger abort{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      break;
    }
  }
  // Removed before close, so the destructor never shuts down a reused number.
  std::lock_guard lock(mutex_);
  std::erase(live_fds_, fd);
  ::close(fd);
}

UdpEchoServer::UdpEchoServer() : socket_(bound_socket(SOCK_DGRAM, 0)) {
  if (!socket_) throw_errno("echo udp socket");
  port_ = local_port(socket_.get());
  thread_ = std::thread([this] {
    std::string buffer(kChunkBytes, '\0');
    for (;;) {
      sockaddr_in from{};
      socklen_t from_len = sizeof from;
      const ssize_t n =
          ::recvfrom(socket_.get(), buffer.data(), buffer.size(), 0, as_sockaddr(from), &from_len);
      if (stopping_.load() || (n < 0 && errno != EINTR)) return;
      if (n < 0) continue;
      char host[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &from.sin_addr, host, sizeof host);
      {
        std::lock_guard lock(mutex_);
        senders_.push_back(std::string(host) + ":" + std::to_string(ntohs(from.sin_port)));
      }
      ::sendto(socket_.get(), buffer.data(), static_cast<size_t>(n), 0, as_sockaddr(from),
               from_len);
    }
  });
}

UdpEchoServer::~UdpEchoServer() {
  stopping_.store(true);
  // On Linux shutdown also wakes a receiver on an unconnected UDP socket.
  ::shutdown(socket_.get(), SHUT_RDWR);
  thread_.join();
}

std::vector<std::string> UdpEchoServer::senders() {
  std::lock_guard lock(mutex_);
  return senders_;
}

Fd tcp_connect(int port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  set_timeout(fd.get(), SO_RCVTIMEO, 10);
  set_timeout(fd.get(), SO_SNDTIMEO, 10);
  sockaddr_in addr = loopback(port);
  return ::connect(fd.get(), as_sockaddr(addr), sizeof addr) == 0 ? std::move(fd) : Fd();
}

bool send_all(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> recv_exact(int fd, size_t size) {
  std::string data(size, '\0');
  for (size_t got = 0; got < size;) {
    const ssize_t n = ::recv(fd, data.data() + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    got += static_cast<size_t>(n);
  }
  return data;
}

bool wait_closed(int fd, std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  char buffer[4096];
  // Data still in flight before the close is read and dropped.
  while (wait_readable(fd, until)) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
  }
  return false;
}

Fd udp_socket() {
  Fd fd = bound_socket(SOCK_DGRAM, 0);
  if (fd) set_timeout(fd.get(), SO_RCVTIMEO, 5);
  return fd;
}

bool udp_send(int fd, int port, const std::string& data) {
  sockaddr_in addr = loopback(port);
  for (;;) {
    const ssize_t n = ::sendto(fd, data.data(), data.size(), 0, as_sockaddr(addr), sizeof addr);
    if (n >= 0 || errno != EINTR) return n == static_cast<ssize_t>(data.size());
  }
}

std::optional<std::string> udp_recv(int fd, std::chrono::milliseconds deadline, int* from_port) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  std::string buffer(kChunkBytes, '\0');
  while (wait_readable(fd, until)) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t n =
        ::recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT, as_sockaddr(from), &from_len);
    // An ICMP "port unreachable" from an earlier send shows up as ECONNREFUSED;
    // it is not a datagram, so keep waiting.
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == ECONNREFUSED)) continue;
    if (n < 0) return std::nullopt;
    if (from_port != nullptr) *from_port = ntohs(from.sin_port);
    buffer.resize(static_cast<size_t>(n));
    return buffer;
  }
  return std::nullopt;
}

}  // namespace tarnwicket::test
