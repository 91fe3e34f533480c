#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "scenarios.h"

namespace tarnwicket::bench {

namespace {

constexpr std::chrono::milliseconds kReplyTimeout{200};

struct Stamp {
  std::uint64_t sequence;
  char fill[56];
};
static_assert(sizeof(Stamp) == 64);

// Sends until one reply comes back, so the gateway has made the association.
bool first_exchange(int fd) {
  char message[64] = {};
  char reply[64];
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (::send(fd, message, sizeof message, 0) != 64) return false;
    if (::recv(fd, reply, sizeof reply, 0) == 64) return true;
  }
  return false;
}

}  // namespace

Latency udp_round_trip(int echo_port, int count, double max_seconds) {
  Fd fd = udp_connect(echo_port);
  if (!fd) return {NAN, NAN, static_cast<std::size_t>(count)};
  set_receive_timeout(fd.get(), kReplyTimeout);
  if (!first_exchange(fd.get())) return {NAN, NAN, static_cast<std::size_t>(count)};
  std::vector<double> samples;
  samples.reserve(static_cast<std::size_t>(count));
  std::size_t lost = 0;
  Stamp out{};
  Stamp in{};
  const auto start = Clock::now();
  for (int i = 0; i < count && seconds_since(start) < max_seconds; ++i) {
    out.sequence = static_cast<std::uint64_t>(i) + 1;
    const auto t = Clock::now();
    if (::send(fd.get(), &out, sizeof out, 0) != 64) {
      ++lost;
      continue;
    }
    // A late reply to an earlier, given-up datagram is skipped.
    bool answered = false;
    while (::recv(fd.get(), &in, sizeof in, 0) == 64) {
      if (in.sequence == out.sequence) {
        answered = true;
        break;
      }
    }
    if (!answered) {
      ++lost;
      continue;
    }
    samples.push_back(micros_between(t, Clock::now()));
  }
  Latency l;
  l.p50_us = percentile(samples, 0.5);
  l.p99_us = percentile(samples, 0.99);
  l.failures = lost;
  return l;
}

UdpFlow udp_throughput(int echo_port, int clients, double offered_per_s, double seconds) {
  std::vector<Fd> sockets;
  for (int i = 0; i < clients; ++i) {
    Fd fd = udp_connect(echo_port);
    if (!fd) continue;
    set_receive_timeout(fd.get(), kReplyTimeout);
    if (first_exchange(fd.get())) sockets.push_back(std::move(fd));
  }
  if (sockets.empty()) return {};
  Fd epoll(::epoll_create1(EPOLL_CLOEXEC));
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    set_nonblocking(sockets[i].get());
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = sockets[i].get();
    ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, sockets[i].get(), &ev);
  }
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> received{0};
  std::thread receiver([&] {
    epoll_event events[64];
    char buffer[2048];
    while (!stop.load()) {
      const int n = ::epoll_wait(epoll.get(), events, 64, 20);
      for (int e = 0; e < n; ++e) {
        while (::recv(events[e].data.fd, buffer, sizeof buffer, 0) > 0) {
          received.fetch_add(1, std::memory_order_relaxed);
        }
      }
    }
  });
  // Paced: what is due by now goes out in bursts of at most 32, then a short pause.
  char message[64];
  std::memset(message, 'u', sizeof message);
  std::uint64_t sent = 0;
  std::size_t next = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  while ((elapsed = seconds_since(start)) < seconds) {
    const auto due = static_cast<std::uint64_t>(elapsed * offered_per_s);
    for (int burst = 0; burst < 32 && sent < due; ++burst) {
      ::send(sockets[next].get(), message, sizeof message, MSG_DONTWAIT);
      ++sent;
      next = (next + 1) % sockets.size();
    }
    if (sent >= due) {
      timespec ts{0, 20000};
      ::clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
    }
  }
  // Late replies still count; none can be on its way after this.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop.store(true);
  receiver.join();
  UdpFlow flow;
  flow.relayed_per_s = static_cast<double>(received.load()) / elapsed;
  flow.loss =
      sent == 0 ? 0 : 1.0 - static_cast<double>(received.load()) / static_cast<double>(sent);
  return flow;
}

Latency udp_burst_first_echo(int echo_port, int clients) {
  Fd epoll(::epoll_create1(EPOLL_CLOEXEC));
  std::vector<Fd> sockets;
  std::vector<double> samples;
  char message[64];
  std::memset(message, 'n', sizeof message);
  for (int i = 0; i < clients; ++i) {
    Fd fd = udp_connect(echo_port);
    if (!fd) continue;
    set_nonblocking(fd.get());
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd.get();
    ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd.get(), &ev);
    sockets.push_back(std::move(fd));
  }
  // Every client's first datagram at once, as after a server restart.
  const auto start = Clock::now();
  for (const Fd& fd : sockets) ::send(fd.get(), message, sizeof message, 0);
  const auto deadline = start + std::chrono::seconds(3);
  epoll_event events[128];
  while (samples.size() < sockets.size() && Clock::now() < deadline) {
    const int n = ::epoll_wait(epoll.get(), events, 128, 50);
    for (int e = 0; e < n; ++e) {
      char reply[128];
      if (::recv(events[e].data.fd, reply, sizeof reply, 0) > 0) {
        samples.push_back(micros_between(start, Clock::now()));
        ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, events[e].data.fd, nullptr);
      }
    }
  }
  Latency l;
  l.failures = static_cast<std::size_t>(clients) - samples.size();
  l.p50_us = percentile(samples, 0.5);
  l.p99_us = percentile(samples, 0.99);
  return l;
}

HeldConnections udp_hold(int echo_port, int count, double max_seconds) {
  HeldConnections held;
  const auto start = Clock::now();
  for (int i = 0; i < count && seconds_since(start) < max_seconds; ++i) {
    Fd fd = udp_connect(echo_port);
    if (!fd) continue;
    set_receive_timeout(fd.get(), kReplyTimeout);
    if (first_exchange(fd.get())) held.sockets.push_back(std::move(fd));
  }
  held.open_seconds = seconds_since(start);
  held.failures = static_cast<std::size_t>(count) - held.sockets.size();
  return held;
}

}  // namespace tarnwicket::bench
