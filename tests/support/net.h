#pragma once

// Loopback peers for relay tests: upstreams of the tests' own on 127.0.0.1,
// port 0, and small blocking client helpers with deadlines.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tarnwicket::test {

using namespace std::chrono_literals;

// Owns one descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept;
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

// A port that was free a moment ago on 127.0.0.1 for both TCP and UDP.
int free_port();

// A port that this process could bind on 127.0.0.1 right now.
bool port_free(int type, int port);
// A TCP listener on 127.0.0.1:port (0: any, stored in *bound_port), backlog
// 1024, SO_REUSEADDR; empty when the port is taken.
Fd tcp_listener(int port = 0, int* bound_port = nullptr);

// TCP upstream that echoes every byte back until the peer closes, all
// connections on one thread with poll, so that thousands of short connections
// cost no thread each. Replies are sent blocking (10 s time-out). `reset_after`
// > 0 makes it reset each connection after echoing that many bytes. Listens on
// `port`, or any free one.
class TcpEchoServer {
 public:
  explicit TcpEchoServer(size_t reset_after = 0, int port = 0);
  ~TcpEchoServer();
  int port() const { return port_; }

 private:
  void run();
  int port_ = 0;
  Fd listener_;
  size_t reset_after_;
  Fd wake_read_;
  Fd wake_write_;
  std::thread thread_;
};

// UDP upstream that sends every datagram back to its sender.
class UdpEchoServer {
 public:
  UdpEchoServer();
  ~UdpEchoServer();
  int port() const { return port_; }
  // Source addresses seen so far ("127.0.0.1:PORT"), one per datagram.
  std::vector<std::string> senders();

 private:
  Fd socket_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<std::string> senders_;
  std::thread thread_;
};

// Blocking TCP client to 127.0.0.1:port; receive and send time-outs of 10 s.
Fd tcp_connect(int port);
bool send_all(int fd, const void* data, size_t size);
// Sends `text` and reads it back whole.
bool echoes(int fd, const std::string& text);
// Reads exactly `size` bytes; nullopt on EOF, error or time-out.
std::optional<std::string> recv_exact(int fd, size_t size);
// True when the peer has closed (EOF or reset) within the deadline.
bool wait_closed(int fd, std::chrono::milliseconds deadline = 10s);

// UDP client socket bound to 127.0.0.1, port 0, receive time-out 5 s.
Fd udp_socket();
bool udp_send(int fd, int port, const std::string& data);
std::optional<std::string> udp_recv(int fd, std::chrono::milliseconds deadline = 5s,
                                    int* from_port = nullptr);

}  // namespace tarnwicket::test
