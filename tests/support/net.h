#pragma once

// Loopback peers for the tests and the benchmark: upstreams of our own on
// 127.0.0.1, port 0, and small blocking client helpers with deadlines. No test
// framework and nothing of the gateway's own code here.

#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tarnwicket::test {

using namespace std::chrono_literals;

// Owns one descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept { return reset(other.release()), *this; }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  explicit operator bool() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// A deadline or time-out stretched by TARNWICKET_TEST_TIME_FACTOR (the
// sanitizer test presets set it; 1 when unset). Every one of the kit is.
std::chrono::milliseconds scaled(std::chrono::milliseconds duration);

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;  // this build runs under a sanitizer
#else
inline constexpr bool kSanitized = false;
#endif

// A port that was free a moment ago on 127.0.0.1 for both TCP and UDP, below
// the ephemeral range (ip_local_port_range): no outgoing connection can take
// it before the server binds it. Every call gives another port, and each
// process starts at an offset of its own, so parallel tests rarely meet.
int free_port();
// A port that this process could bind on 127.0.0.1 right now.
bool port_free(int type, int port);
// host:port (an IPv4 or IPv6 literal) in `out`, IPv4 as a sockaddr_in; its length.
socklen_t socket_address(const std::string& host, int port, sockaddr_in6& out);
// "1.2.3.4:5" or "[::1]:5".
std::string address_text(const sockaddr_storage& address);
// The local port a socket is bound to.
int local_port(int fd);
// A TCP listener on 127.0.0.1:port (0: any, stored in *bound_port), backlog
// 4096, SO_REUSEADDR; empty when the port is taken. Nobody accepts on it, so
// connections complete in the backlog and are never read: a stalled upstream.
Fd tcp_listener(int port = 0, int* bound_port = nullptr);
// A UDP socket on 127.0.0.1, port 0, with a receive time-out of 5 s (scaled), that
// nobody reads unless the test does: a silent upstream.
Fd udp_socket();

// Single-threaded event-driven TCP upstream: thousands of connections cost it
// no thread each. kEcho sends every byte back (and stops reading a peer that
// does not take its echoes); kSink reads and discards.
class TcpUpstream {
 public:
  enum class Mode { kEcho, kSink };
  explicit TcpUpstream(Mode mode = Mode::kEcho, int port = 0);
  ~TcpUpstream();
  int port() const { return local_port(listener_.get()); }
  std::uint64_t bytes_received() const { return received_.load(std::memory_order_relaxed); }

 private:
  void run(Mode mode);  // the upstream's thread, which owns every peer

  Fd listener_, epoll_, wake_;
  std::atomic<std::uint64_t> received_{0};
  std::thread thread_;
};

// UDP upstream that sends every datagram back to its sender.
class UdpEcho {
 public:
  UdpEcho();
  ~UdpEcho();
  int port() const { return local_port(socket_.get()); }
  // Source ports seen so far, each once, in the order they first appeared.
  std::vector<int> sender_ports();

 private:
  Fd socket_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<int> senders_;
  std::thread thread_;
};

// A TCP or UDP socket connected to host:port (an IPv4 or IPv6 literal), bound
// first to `source` when given. TCP: TCP_NODELAY, as a game client's, and
// receive and send time-outs of 10 s; UDP: receive time-out 5 s (both
// scaled). These bound every wait below. Empty on failure.
Fd ip_connect(int type, const std::string& host, int port, const std::string& source = "");
// A TCP client (from `from`, when given) to 127.0.0.1:port.
Fd tcp_connect(int port, const char* from = nullptr);
bool send_all(int fd, const void* data, size_t size);
// Reads exactly `size` bytes; false on EOF, error or time-out.
bool recv_all(int fd, void* data, size_t size);
std::optional<std::string> recv_exact(int fd, size_t size);
// Sends `text` and reads it back whole (TCP or UDP).
bool echoes(int fd, const std::string& text);
// True when the peer closes (EOF or reset) before the receive time-out.
bool wait_closed(int fd);
void set_receive_timeout(int fd, std::chrono::milliseconds timeout);
void set_nonblocking(int fd);
// A zero linger time: closing then sends RST instead of FIN.
void reset_on_close(int fd);
// What the peer sends up to its close (or the receive time-out).
std::string read_to_end(int fd);
// Sends "METHOD /target" to 127.0.0.1:port as an HTTP/1.1 request that asks
// for the close, and gives the whole answer.
std::string http_request(int port, const std::string& method_and_target);
// The body of an HTTP answer: what follows the head; empty without one.
std::string http_body(const std::string& response);
// A new pipe: its reading end into `in`, its writing end returned.
Fd pipe_into(Fd& in);

// UDP socket bound to `from`, port 0, and connected to to:port, so that it
// receives only from there.
Fd udp_connect(int port, const char* to = "127.0.0.1", const char* from = "127.0.0.1");
bool udp_send(int fd, const std::string& data);
std::optional<std::string> udp_recv(int fd);

}  // namespace tarnwicket::test
