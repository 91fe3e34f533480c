#include "bench_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tarnwicket::bench {

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double micros_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::micro>(to - from).count();
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void Fd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

double percentile(std::vector<double>& values, double fraction) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const auto last = static_cast<double>(values.size() - 1);
  return values[static_cast<std::size_t>(std::lround(fraction * last))];
}

double median(std::vector<double> values) { return percentile(values, 0.5); }

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  return sa;
}

Fd connect_socket(int type, int port) {
  Fd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  if (type == SOCK_STREAM) {
    int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  const sockaddr_in sa = loopback(port);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return Fd();
  return fd;
}

// The first number after `key` on its line, or 0.
double field_of(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::strtod(line.c_str() + key.size(), nullptr);
  }
  return 0;
}

}  // namespace

Fd connect_tcp(int port) { return connect_socket(SOCK_STREAM, port); }
Fd connect_udp(int port) { return connect_socket(SOCK_DGRAM, port); }

bool send_all(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool recv_all(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void set_receive_timeout(int fd, int timeout_ms) {
  timeval tv{timeout_ms / 1000, static_cast<suseconds_t>(timeout_ms % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

bool recv_exact(int fd, void* data, std::size_t size, Clock::time_point deadline) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::recv(fd, p, size, MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p_fd{fd, POLLIN, 0};
    ::poll(&p_fd, 1, static_cast<int>(left.count()) + 1);
  }
  return true;
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

int free_port() {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa = loopback(0);
  socklen_t len = sizeof sa;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    throw std::runtime_error("no free loopback port");
  }
  return ntohs(sa.sin_port);
}

void raise_fd_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

ServerProcess::ServerProcess(const std::string& binary, const std::string& dir,
                             const std::string& ini) {
  const std::string config_path = dir + "/server.ini";
  const std::string log_path = dir + "/server.log";
  {
    std::ofstream out(config_path, std::ios::binary);
    out << ini;
    if (!out) throw std::runtime_error("cannot write " + config_path);
  }
  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls until exec.
  std::vector<std::string> args = {binary, "--config", config_path};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int log_fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log_fd < 0) throw std::runtime_error("cannot write " + log_path);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(log_fd, STDOUT_FILENO);
    ::dup2(log_fd, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(log_fd);
  if (pid_ < 0) throw std::runtime_error("fork failed");
  const auto start = Clock::now();
  while (seconds_since(start) < 10) {
    std::ifstream log(log_path);
    std::stringstream text;
    text << log.rdbuf();
    if (text.str().find("server started") != std::string::npos) return;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("server exited at start:\n" + text.str());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("server did not announce its start within 10 s");
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) terminate();
}

double ServerProcess::terminate() {
  if (pid_ <= 0) return -1;
  const auto start = Clock::now();
  ::kill(pid_, SIGTERM);
  int status = 0;
  while (seconds_since(start) < 10) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      clean_exit_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
      return seconds_since(start);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return -1;
}

ProcessMemory read_process(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  ProcessMemory m;
  m.rss_kib = field_of(base + "/smaps_rollup", "Rss:");
  m.pss_kib = field_of(base + "/smaps_rollup", "Pss:");
  m.threads = static_cast<int>(field_of(base + "/status", "Threads:"));
  return m;
}

KernelMemory read_kernel_memory() {
  KernelMemory k;
  k.slab_kib = field_of("/proc/meminfo", "Slab:");
  k.kernel_stack_kib = field_of("/proc/meminfo", "KernelStack:");
  k.page_tables_kib = field_of("/proc/meminfo", "PageTables:");
  return k;
}

bool wait_for_threads(pid_t pid, int threads, double timeout_seconds) {
  const auto start = Clock::now();
  while (read_process(pid).threads > threads) {
    if (seconds_since(start) > timeout_seconds) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace tarnwicket::bench
