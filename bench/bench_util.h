#pragma once

// Pieces shared by the relay benchmark: descriptors, clocks and statistics,
// the loopback upstreams, the server child process and /proc readings.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tarnwicket::bench {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start);
double micros_between(Clock::time_point from, Clock::time_point to);

// Owns one descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

// Statistics of one sample; the vector is sorted in place.
double percentile(std::vector<double>& values, double fraction);
double median(std::vector<double> values);

// Blocking loopback helpers. Every TCP socket of the benchmark has
// TCP_NODELAY set, as a game client's would.
Fd connect_tcp(int port);
Fd connect_udp(int port);
bool send_all(int fd, const void* data, std::size_t size);
// Blocking reads of exactly `size` bytes, bounded by the socket's receive
// time-out (set_receive_timeout).
bool recv_all(int fd, void* data, std::size_t size);
void set_receive_timeout(int fd, int timeout_ms);
// Reads exactly `size` bytes, giving up at the deadline.
bool recv_exact(int fd, void* data, std::size_t size, Clock::time_point deadline);
void set_nonblocking(int fd);
int free_port();  // free a moment ago on 127.0.0.1 for TCP and UDP
void raise_fd_limit();

// Single-threaded epoll TCP upstream on 127.0.0.1: echoes every byte or
// swallows them, counting what it received.
class TcpUpstream {
 public:
  enum class Mode { kEcho, kSink };
  explicit TcpUpstream(Mode mode);
  ~TcpUpstream();
  TcpUpstream(const TcpUpstream&) = delete;
  TcpUpstream& operator=(const TcpUpstream&) = delete;
  int port() const { return port_; }
  std::uint64_t bytes_received() const { return received_.load(std::memory_order_relaxed); }

 private:
  void run();
  void on_readable(int fd);
  void on_writable(int fd);
  void drop(int fd);

  Mode mode_;
  Fd listener_;
  Fd epoll_;
  Fd wake_;
  int port_ = 0;
  std::atomic<std::uint64_t> received_{0};
  std::unordered_map<int, std::string> pending_;  // echo bytes not yet written
  std::vector<char> buffer_;
  std::thread thread_;
};

// UDP upstream on 127.0.0.1 that sends every datagram back to its sender.
class UdpEcho {
 public:
  UdpEcho();
  ~UdpEcho();
  UdpEcho(const UdpEcho&) = delete;
  UdpEcho& operator=(const UdpEcho&) = delete;
  int port() const { return port_; }

 private:
  Fd socket_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// The real server as a child process, its output in a log file.
class ServerProcess {
 public:
  // Writes the configuration into `dir`, starts the binary and waits for its
  // start announcement; throws std::runtime_error when it does not come.
  ServerProcess(const std::string& binary, const std::string& dir, const std::string& ini);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  pid_t pid() const { return pid_; }
  // Sends SIGTERM and waits; seconds until exit, or -1 when it had to be killed.
  double terminate();
  bool exited_cleanly() const { return clean_exit_; }

 private:
  pid_t pid_ = -1;
  bool clean_exit_ = false;
};

struct ProcessMemory {
  double rss_kib = 0;
  double pss_kib = 0;
  int threads = 0;
};
ProcessMemory read_process(pid_t pid);

// System-wide kernel memory that grows with sockets and threads.
struct KernelMemory {
  double slab_kib = 0;
  double kernel_stack_kib = 0;
  double page_tables_kib = 0;
};
KernelMemory read_kernel_memory();

// Waits until the process runs at most `threads` threads; false at the deadline.
bool wait_for_threads(pid_t pid, int threads, double timeout_seconds);

}  // namespace tarnwicket::bench
