// The benchmark's own upstreams. They are event-driven so that thousands of
// held connections cost the benchmark no threads and the measurement of the
// gateway is not muddied by the upstream's scheduling.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "bench_util.h"

namespace tarnwicket::bench {

namespace {

constexpr std::size_t kBufferBytes = 65536;
constexpr int kReadsPerEvent = 8;  // fairness between busy connections

Fd bound_socket(int type, int& port) {
  Fd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    throw std::runtime_error("cannot bind a loopback upstream");
  }
  port = ntohs(sa.sin_port);
  return fd;
}

void watch(int epoll_fd, int op, int fd, std::uint32_t events) {
  epoll_event ev{};
  ev.events = events;
  ev.data.fd = fd;
  ::epoll_ctl(epoll_fd, op, fd, &ev);
}

}  // namespace

TcpUpstream::TcpUpstream(Mode mode) : mode_(mode), buffer_(kBufferBytes) {
  listener_ = bound_socket(SOCK_STREAM, port_);
  if (::listen(listener_.get(), 4096) != 0) throw std::runtime_error("listen failed");
  set_nonblocking(listener_.get());
  epoll_ = Fd(::epoll_create1(EPOLL_CLOEXEC));
  wake_ = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  watch(epoll_.get(), EPOLL_CTL_ADD, listener_.get(), EPOLLIN);
  watch(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), EPOLLIN);
  thread_ = std::thread([this] { run(); });
}

TcpUpstream::~TcpUpstream() {
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
  thread_.join();
  for (auto& entry : pending_) ::close(entry.first);
}

void TcpUpstream::run() {
  epoll_event events[256];
  for (;;) {
    const int count = ::epoll_wait(epoll_.get(), events, 256, -1);
    if (count < 0 && errno != EINTR) return;
    for (int i = 0; i < count; ++i) {
      const int fd = events[i].data.fd;
      if (fd == wake_.get()) return;
      if (fd == listener_.get()) {
        for (;;) {
          const int client = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (client < 0) break;
          int on = 1;
          ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
          pending_[client];
          watch(epoll_.get(), EPOLL_CTL_ADD, client, EPOLLIN);
        }
      } else if (events[i].events & EPOLLOUT) {
        on_writable(fd);
      } else {
        on_readable(fd);
      }
    }
  }
}

void TcpUpstream::on_readable(int fd) {
  for (int i = 0; i < kReadsPerEvent; ++i) {
    const ssize_t n = ::recv(fd, buffer_.data(), buffer_.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return drop(fd);
    received_.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
    if (mode_ == Mode::kSink) continue;
    const ssize_t sent = ::send(fd, buffer_.data(), static_cast<std::size_t>(n), MSG_NOSIGNAL);
    if (sent < 0 && errno != EAGAIN) return drop(fd);
    const std::size_t done = sent < 0 ? 0 : static_cast<std::size_t>(sent);
    if (done < static_cast<std::size_t>(n)) {
      // The peer is not reading: keep the rest and stop reading until it is out.
      pending_[fd].assign(buffer_.data() + done, static_cast<std::size_t>(n) - done);
      watch(epoll_.get(), EPOLL_CTL_MOD, fd, EPOLLOUT);
      return;
    }
  }
}

void TcpUpstream::on_writable(int fd) {
  std::string& rest = pending_[fd];
  const ssize_t sent = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
  if (sent < 0 && errno != EAGAIN) return drop(fd);
  if (sent > 0) rest.erase(0, static_cast<std::size_t>(sent));
  if (rest.empty()) watch(epoll_.get(), EPOLL_CTL_MOD, fd, EPOLLIN);
}

void TcpUpstream::drop(int fd) {
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
  pending_.erase(fd);
  ::close(fd);
}

UdpEcho::UdpEcho() {
  socket_ = bound_socket(SOCK_DGRAM, port_);
  // Room for bursts: the echo must not be what drops datagrams.
  int bytes = 4 << 20;
  ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  timeval tick{0, 100000};
  ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  thread_ = std::thread([this] {
    char buffer[kBufferBytes];
    while (!stopping_.load()) {
      sockaddr_storage from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(socket_.get(), buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;  // the tick: look at stopping_ again
      ::sendto(socket_.get(), buffer, static_cast<std::size_t>(n), 0,
               reinterpret_cast<sockaddr*>(&from), len);
    }
  });
}

UdpEcho::~UdpEcho() {
  stopping_.store(true);
  thread_.join();
}

}  // namespace tarnwicket::bench
