#include "support/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

namespace tarnwicket::test {

namespace {

constexpr size_t kChunkBytes = 65536;
constexpr int kReadsPerEvent = 8;  // fairness between busy connections
constexpr int kPortBlock = 200;    // free_port's ports per process before another's block

[[noreturn]] void throw_errno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

template <class T>
void set_option(int fd, int level, int name, const T& value) {
  ::setsockopt(fd, level, name, &value, sizeof value);
}

void watch(int epoll, int op, int fd, std::uint32_t events) {
  epoll_event event{.events = events, .data = {.fd = fd}};
  ::epoll_ctl(epoll, op, fd, &event);
}

int ephemeral_low() {
  int low = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
  return low;
}

}  // namespace

socklen_t socket_address(const std::string& host, int port, sockaddr_in6& out) {
  out = {};
  auto& in = reinterpret_cast<sockaddr_in&>(out);
  in.sin_port = htons(static_cast<std::uint16_t>(port));  // at the same offset for both
  if (::inet_pton(AF_INET, host.c_str(), &in.sin_addr) == 1) {
    in.sin_family = AF_INET;
    return sizeof in;
  }
  out.sin6_family = AF_INET6;
  ::inet_pton(AF_INET6, host.c_str(), &out.sin6_addr);
  return sizeof out;
}

namespace {

bool bind_to(int fd, const std::string& host, int port) {
  sockaddr_in6 addr;
  const socklen_t len = socket_address(host, port, addr);
  return ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
}

// A socket bound to 127.0.0.1:port (0: any free port); empty when the port is taken.
Fd bound_socket(int type, int port, bool reuse_address = false) {
  Fd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd) throw_errno("socket");
  if (reuse_address) set_option(fd.get(), SOL_SOCKET, SO_REUSEADDR, 1);
  return bind_to(fd.get(), "127.0.0.1", port) ? std::move(fd) : Fd();
}

}  // namespace

std::string address_text(const sockaddr_storage& address) {
  const auto& in = reinterpret_cast<const sockaddr_in&>(address);
  const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
  const bool v4 = address.ss_family == AF_INET;
  char text[INET6_ADDRSTRLEN] = "";
  ::inet_ntop(address.ss_family, v4 ? static_cast<const void*>(&in.sin_addr) : &in6.sin6_addr, text,
              sizeof text);
  return (v4 ? text : "[" + std::string(text) + "]") + ":" + std::to_string(ntohs(in.sin_port));
}

int local_port(int fd) {
  sockaddr_in6 addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) throw_errno("getsockname");
  return ntohs(addr.sin6_port);  // at the same offset in sockaddr_in
}

std::chrono::milliseconds scaled(std::chrono::milliseconds duration) {
  static const char* text = std::getenv("TARNWICKET_TEST_TIME_FACTOR");
  static const double factor = std::max(1.0, text != nullptr ? std::atof(text) : 1.0);
  return std::chrono::duration_cast<std::chrono::milliseconds>(duration * factor);
}

int free_port() {
  // From 20000 (1024 when the range starts lower) up to the ephemeral range;
  // each process starts in a block of its own.
  static const int low = ephemeral_low(), first = low > 21000 ? 20000 : 1024;
  static const int count = std::max(low - first, kPortBlock);
  static std::atomic<int> next{::getpid() % (count / kPortBlock) * kPortBlock};
  for (int attempt = 0; attempt < count; ++attempt) {
    const int port = first + next++ % count;
    if (port_free(SOCK_STREAM, port) && port_free(SOCK_DGRAM, port)) return port;
  }
  throw std::runtime_error("no free port on 127.0.0.1 below the ephemeral range");
}

bool port_free(int type, int port) { return static_cast<bool>(bound_socket(type, port)); }

Fd tcp_listener(int port, int* bound_port) {
  Fd fd = bound_socket(SOCK_STREAM, port, true);
  if (!fd || ::listen(fd.get(), 4096) != 0) return Fd();
  if (bound_port != nullptr) *bound_port = local_port(fd.get());
  return fd;
}

Fd udp_socket() {
  Fd fd = bound_socket(SOCK_DGRAM, 0);
  set_receive_timeout(fd.get(), scaled(5s));
  return fd;
}

TcpUpstream::TcpUpstream(Mode mode, int port)
    : listener_(tcp_listener(port)),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!listener_ || !epoll_ || !wake_) throw_errno("tcp upstream");
  set_nonblocking(listener_.get());
  watch(epoll_.get(), EPOLL_CTL_ADD, listener_.get(), EPOLLIN);
  watch(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), EPOLLIN);
  thread_ = std::thread([this, mode] { run(mode); });
}

TcpUpstream::~TcpUpstream() {
  static_cast<void>(::eventfd_write(wake_.get(), 1));
  thread_.join();
}

// A peer is watched for POLLOUT instead of POLLIN while it has not taken all
// of its echo: one that does not read is not read either.
void TcpUpstream::run(Mode mode) {
  std::unordered_map<int, std::pair<Fd, std::string>> peers;  // the echo not taken yet
  std::string buffer(kChunkBytes, '\0');
  const auto flush = [](int fd, std::string& unsent) {
    const ssize_t sent = ::send(fd, unsent.data(), unsent.size(), MSG_NOSIGNAL);
    if (sent < 0) return errno == EAGAIN || errno == EINTR;
    unsent.erase(0, static_cast<size_t>(sent));
    return true;
  };
  // A few reads per event at most, for fairness between busy peers; false
  // when the peer is gone.
  const auto serve = [&](int fd, std::string& unsent) {
    if (!unsent.empty() && !flush(fd, unsent)) return false;
    for (int reads = 0; unsent.empty() && reads < kReadsPerEvent; ++reads) {
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
      if (n <= 0) return false;
      received_.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
      if (mode == Mode::kEcho && !flush(fd, unsent.assign(buffer.data(), static_cast<size_t>(n))))
        return false;
    }
    return true;
  };
  epoll_event events[256];
  for (;;) {
    const int count = ::epoll_wait(epoll_.get(), events, 256, -1);
    if (count < 0 && errno != EINTR) return;
    for (int i = 0; i < count; ++i) {
      const int fd = events[i].data.fd;
      if (fd == wake_.get()) return;
      if (fd == listener_.get()) {
        for (Fd peer; (peer = Fd(::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)));) {
          set_option(peer.get(), IPPROTO_TCP, TCP_NODELAY, 1);
          watch(epoll_.get(), EPOLL_CTL_ADD, peer.get(), EPOLLIN);
          peers[peer.get()].first = std::move(peer);
        }
      } else if (const auto it = peers.find(fd); it != peers.end()) {
        std::string& unsent = it->second.second;
        const bool writing = !unsent.empty();
        if (!serve(fd, unsent)) {
          peers.erase(it);  // closing removes it from the epoll set
        } else if (unsent.empty() == writing) {
          watch(epoll_.get(), EPOLL_CTL_MOD, fd, writing ? EPOLLIN : EPOLLOUT);
        }
      }
    }
  }
}

UdpEcho::UdpEcho() : socket_(bound_socket(SOCK_DGRAM, 0)) {
  if (!socket_) throw_errno("udp echo socket");
  // Room for bursts: the echo must not be what drops datagrams.
  set_option(socket_.get(), SOL_SOCKET, SO_RCVBUF, 4 << 20);
  thread_ = std::thread([this] {
    std::string buffer(kChunkBytes, '\0');
    for (;;) {
      sockaddr_in from{};
      socklen_t from_len = sizeof from;
      const ssize_t n = ::recvfrom(socket_.get(), buffer.data(), buffer.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &from_len);
      if (stopping_.load() || (n < 0 && errno != EINTR)) return;
      if (n < 0) continue;
      if (std::lock_guard lock(mutex_); std::ranges::count(senders_, ntohs(from.sin_port)) == 0)
        senders_.push_back(ntohs(from.sin_port));
      ::sendto(socket_.get(), buffer.data(), static_cast<size_t>(n), 0,
               reinterpret_cast<sockaddr*>(&from), from_len);
    }
  });
}

UdpEcho::~UdpEcho() {
  stopping_.store(true);
  // On Linux shutdown also wakes a receiver on an unconnected UDP socket.
  ::shutdown(socket_.get(), SHUT_RDWR);
  thread_.join();
}

std::vector<int> UdpEcho::sender_ports() {
  std::lock_guard lock(mutex_);
  return senders_;
}

Fd ip_connect(int type, const std::string& host, int port, const std::string& source) {
  sockaddr_in6 to;
  const socklen_t to_len = socket_address(host, port, to);
  Fd fd(::socket(to.sin6_family, type | SOCK_CLOEXEC, 0));
  if (!fd) throw_errno("socket");
  set_receive_timeout(fd.get(), scaled(type == SOCK_STREAM ? 10s : 5s));
  if (type == SOCK_STREAM) {
    set_option(fd.get(), IPPROTO_TCP, TCP_NODELAY, 1);
    set_option(fd.get(), SOL_SOCKET, SO_SNDTIMEO,
               timeval{static_cast<time_t>(scaled(10s).count() / 1000), 0});
    // The port is left to connect(), which may reuse ports in TIME_WAIT
    // towards other peers: churn would run out of them otherwise.
    set_option(fd.get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1);
  }
  if (!source.empty() && !bind_to(fd.get(), source, 0)) return {};
  return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), to_len) == 0 ? std::move(fd) : Fd();
}

Fd tcp_connect(int port, const char* from) {
  return ip_connect(SOCK_STREAM, "127.0.0.1", port, from != nullptr ? from : "");
}

Fd udp_connect(int port, const char* to, const char* from) {
  return ip_connect(SOCK_DGRAM, to, port, from);
}

bool send_all(int fd, const void* data, size_t size) {
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::send(fd, static_cast<const char*>(data) + done, size - done, MSG_NOSIGNAL);
    if (n <= 0 && (n == 0 || errno != EINTR)) return false;
    done += n > 0 ? static_cast<size_t>(n) : 0;
  }
  return true;
}

bool recv_all(int fd, void* data, size_t size) {
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::recv(fd, static_cast<char*>(data) + done, size - done, 0);
    if (n <= 0 && (n == 0 || errno != EINTR)) return false;  // EOF, error or time-out
    done += n > 0 ? static_cast<size_t>(n) : 0;
  }
  return true;
}

std::optional<std::string> recv_exact(int fd, size_t size) {
  std::string data(size, '\0');
  return recv_all(fd, data.data(), size) ? std::optional(std::move(data)) : std::nullopt;
}

bool echoes(int fd, const std::string& text) {
  int type = 0;
  socklen_t len = sizeof type;
  ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len);
  if (type == SOCK_DGRAM) return udp_send(fd, text) && udp_recv(fd) == text;
  return send_all(fd, text.data(), text.size()) && recv_exact(fd, text.size()) == text;
}

bool wait_closed(int fd) {
  char buffer[4096];
  ssize_t n;
  // Data still in flight before the close is read and dropped.
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0 || (n < 0 && errno == EINTR)) {
  }
  return n == 0 || errno != EAGAIN;
}

void set_receive_timeout(int fd, std::chrono::milliseconds timeout) {
  const auto ms = timeout.count();
  set_option(fd, SOL_SOCKET, SO_RCVTIMEO,
             timeval{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)});
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

void reset_on_close(int fd) { set_option(fd, SOL_SOCKET, SO_LINGER, linger{1, 0}); }

std::string read_to_end(int fd) {
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
    out.append(buffer, static_cast<size_t>(n));
  return out;
}

std::string http_request(int port, const std::string& method_and_target) {
  const std::string request =
      method_and_target + " HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";
  Fd fd = tcp_connect(port);
  return fd && send_all(fd.get(), request.data(), request.size()) ? read_to_end(fd.get()) : "";
}

std::string http_body(const std::string& response) {
  const auto end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}

Fd pipe_into(Fd& in) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw_errno("pipe2");
  in.reset(fds[0]);
  return Fd(fds[1]);
}

bool udp_send(int fd, const std::string& data) {
  ssize_t n;
  while ((n = ::send(fd, data.data(), data.size(), 0)) < 0 && errno == EINTR) {
  }
  return n == static_cast<ssize_t>(data.size());
}

std::optional<std::string> udp_recv(int fd) {
  std::string buffer(kChunkBytes, '\0');
  ssize_t n;
  // An ICMP "port unreachable" from an earlier send shows up as ECONNREFUSED;
  // it is not a datagram, so keep waiting.
  while ((n = ::recv(fd, buffer.data(), buffer.size(), 0)) < 0 &&
         (errno == EINTR || errno == ECONNREFUSED)) {
  }
  if (n < 0) return std::nullopt;
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

}  // namespace tarnwicket::test
