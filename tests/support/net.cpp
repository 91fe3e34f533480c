#include "support/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
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

bool port_free(int type, int port) { return static_cast<bool>(bound_socket(type, port)); }

Fd tcp_listener(int port, int* bound_port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr = loopback(port);
  if (::bind(fd.get(), as_sockaddr(addr), sizeof addr) != 0 || ::listen(fd.get(), 1024) != 0) {
    return Fd();
  }
  if (bound_port != nullptr) *bound_port = local_port(fd.get());
  return fd;
}

TcpEchoServer::TcpEchoServer(size_t reset_after, int port)
    : listener_(tcp_listener(port, &port_)), reset_after_(reset_after) {
  int wake[2];
  if (!listener_ || ::pipe2(wake, O_CLOEXEC) != 0) throw_errno("echo listener");
  wake_read_ = Fd(wake[0]);
  wake_write_ = Fd(wake[1]);
  thread_ = std::thread([this] { run(); });
}

TcpEchoServer::~TcpEchoServer() {
  static_cast<void>(::write(wake_write_.get(), "x", 1));
  thread_.join();
}

void TcpEchoServer::run() {
  std::vector<std::pair<Fd, size_t>> clients;  // with the bytes echoed so far
  std::vector<pollfd> polled;
  std::string buffer(kChunkBytes, '\0');
  for (;;) {
    polled.assign({{wake_read_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}});
    for (const auto& c : clients) polled.push_back({c.first.get(), POLLIN, 0});
    if (::poll(polled.data(), polled.size(), -1) < 0 && errno != EINTR) return;
    if (polled[0].revents != 0) return;
    for (size_t i = clients.size(); i-- > 0;) {  // backwards: erasing keeps indices valid
      if (polled[i + 2].revents == 0) continue;
      auto& [fd, echoed] = clients[i];
      const size_t want =
          reset_after_ > 0 ? std::min(kChunkBytes, reset_after_ - echoed) : kChunkBytes;
      const ssize_t n = ::recv(fd.get(), buffer.data(), want, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      const bool sent = n > 0 && send_all(fd.get(), buffer.data(), static_cast<size_t>(n));
      echoed += sent ? static_cast<size_t>(n) : 0;
      if (sent && echoed == reset_after_) {
        // A zero linger time makes close send RST instead of FIN.
        const linger abort{1, 0};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      }
      if (!sent || echoed == reset_after_)
        clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if ((polled[1].revents & POLLIN) != 0) {
      Fd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (fd) set_timeout(fd.get(), SO_SNDTIMEO, 10);
      if (fd) clients.emplace_back(std::move(fd), 0);
    }
  }
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

bool echoes(int fd, const std::string& text) {
  return send_all(fd, text.data(), text.size()) && recv_exact(fd, text.size()) == text;
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
