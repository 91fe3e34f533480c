#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "scenarios.h"

namespace tarnwicket::bench {

namespace {

constexpr std::size_t kChunkBytes = 65536;
constexpr std::chrono::milliseconds kReplyTimeout{2000};

Latency summarize(std::vector<double>& samples, std::size_t failures) {
  Latency l;
  l.p50_us = percentile(samples, 0.5);
  l.p99_us = percentile(samples, 0.99);
  l.failures = failures;
  return l;
}

void pause_micros(long micros) {
  timespec ts{0, micros * 1000};
  while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
  }
}

Fd echo_socket(int port) {
  Fd fd = tcp_connect(port);
  if (fd) set_receive_timeout(fd.get(), kReplyTimeout);
  return fd;
}

}  // namespace

double tcp_bulk_mib_per_s(int sink_port, const TcpUpstream& sink, int streams, double seconds) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  const auto hard_deadline = Clock::now() + std::chrono::duration<double>(seconds + 5);
  for (int i = 0; i < streams; ++i) {
    writers.emplace_back([&] {
      Fd fd = tcp_connect(sink_port);
      if (!fd) return;
      timeval tv{1, 0};
      ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      std::vector<char> chunk(kChunkBytes, 'b');
      while (!stop.load() && Clock::now() < hard_deadline) {
        if (!send_all(fd.get(), chunk.data(), chunk.size())) break;
      }
    });
  }
  // Measured at the sink, after a warm-up, so filling the socket buffers does not count.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::uint64_t before = sink.bytes_received();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const std::uint64_t after = sink.bytes_received();
  const double elapsed = seconds_since(start);
  stop.store(true);
  for (auto& t : writers) t.join();
  return static_cast<double>(after - before) / elapsed / (1024.0 * 1024.0);
}

Latency tcp_round_trip(int echo_port, int count, double max_seconds) {
  Fd fd = echo_socket(echo_port);
  if (!fd) return {NAN, NAN, static_cast<std::size_t>(count)};
  char message[64];
  std::memset(message, 'r', sizeof message);
  char reply[64];
  for (int i = 0; i < 20; ++i) {
    if (!send_all(fd.get(), message, 64) || !recv_all(fd.get(), reply, 64)) break;
  }
  std::vector<double> samples;
  samples.reserve(static_cast<std::size_t>(count));
  std::size_t failures = 0;
  const auto start = Clock::now();
  for (int i = 0; i < count && seconds_since(start) < max_seconds; ++i) {
    const auto t = Clock::now();
    if (!send_all(fd.get(), message, 64) || !recv_all(fd.get(), reply, 64)) {
      failures = static_cast<std::size_t>(count - i);
      break;
    }
    samples.push_back(micros_between(t, Clock::now()));
  }
  return summarize(samples, failures);
}

Latency tcp_split_write(int echo_port, int count, double max_seconds) {
  Fd fd = echo_socket(echo_port);
  if (!fd) return {NAN, NAN, static_cast<std::size_t>(count)};
  char message[64];
  std::memset(message, 's', sizeof message);
  char reply[64];
  std::vector<double> samples;
  std::size_t failures = 0;
  const auto start = Clock::now();
  for (int i = 0; i < count && seconds_since(start) < max_seconds; ++i) {
    const auto t = Clock::now();
    bool ok = send_all(fd.get(), message, 4);
    pause_micros(200);
    ok = ok && send_all(fd.get(), message + 4, 60) && recv_all(fd.get(), reply, 64);
    if (!ok) {
      failures = static_cast<std::size_t>(count - i);
      break;
    }
    samples.push_back(micros_between(t, Clock::now()));
  }
  return summarize(samples, failures);
}

double tcp_connections_per_s(int echo_port, int workers, double seconds) {
  std::atomic<long> done{0};
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration<double>(seconds);
  std::vector<std::thread> threads;
  for (int w = 0; w < workers; ++w) {
    threads.emplace_back([&] {
      while (Clock::now() < deadline) {
        Fd fd = echo_socket(echo_port);
        char byte = 'c';
        if (fd && send_all(fd.get(), &byte, 1) && recv_all(fd.get(), &byte, 1)) done.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  return static_cast<double>(done.load()) / seconds_since(start);
}

Latency tcp_burst_first_echo(int echo_port, int clients) {
  Fd epoll(::epoll_create1(EPOLL_CLOEXEC));
  std::vector<Fd> sockets(static_cast<std::size_t>(clients));
  std::vector<std::size_t> got(sockets.size(), 0);
  std::vector<double> samples;
  std::size_t failures = 0;
  char message[64];
  std::memset(message, 'f', sizeof message);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<std::uint16_t>(echo_port));
  const auto start = Clock::now();
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    sockets[i] = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int on = 1;
    ::setsockopt(sockets[i].get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(sockets[i].get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 &&
        errno != EINPROGRESS) {
      ++failures;
      continue;
    }
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.u64 = i;
    ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, sockets[i].get(), &ev);
  }
  const auto deadline = start + std::chrono::seconds(10);
  epoll_event events[128];
  while (samples.size() + failures < sockets.size() && Clock::now() < deadline) {
    const int n = ::epoll_wait(epoll.get(), events, 128, 100);
    for (int e = 0; e < n; ++e) {
      const std::size_t i = events[e].data.u64;
      const int fd = sockets[i].get();
      if (events[e].events & EPOLLOUT) {
        // Connected (or failed): 64 bytes fit any fresh socket's buffer at once.
        if (::send(fd, message, 64, MSG_NOSIGNAL) != 64) {
          ++failures;
          ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
          continue;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        ::epoll_ctl(epoll.get(), EPOLL_CTL_MOD, fd, &ev);
        continue;
      }
      char reply[64];
      const ssize_t r = ::recv(fd, reply, 64 - got[i], 0);
      if (r <= 0) {
        if (r < 0 && errno == EAGAIN) continue;
        ++failures;
        ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
        continue;
      }
      got[i] += static_cast<std::size_t>(r);
      if (got[i] == 64) {
        samples.push_back(micros_between(start, Clock::now()));
        ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
      }
    }
  }
  return summarize(samples, sockets.size() - samples.size());
}

HeldConnections tcp_hold(int echo_port, int count, double max_seconds) {
  HeldConnections held;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(max_seconds));
  for (int i = 0; i < count && Clock::now() < deadline; ++i) {
    Fd fd = tcp_connect(echo_port);
    if (fd) held.sockets.push_back(std::move(fd));
  }
  // Every connection answers once, so each is relayed end to end, not just queued.
  char byte = 'h';
  for (auto& fd : held.sockets) send_all(fd.get(), &byte, 1);
  for (auto& fd : held.sockets) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    set_receive_timeout(fd.get(), std::max(left, std::chrono::milliseconds(1)));
    if (!recv_all(fd.get(), &byte, 1)) ++held.failures;
  }
  held.open_seconds = seconds_since(start);
  held.failures += static_cast<std::size_t>(count) - held.sockets.size();
  return held;
}

}  // namespace tarnwicket::bench
