#include "support/spoof.h"

#include <arpa/inet.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>

namespace tarnwicket::test {

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// What a player sends: the tag, its sequence number and when it left.
struct Stamp {
  char tag[4];
  std::uint64_t sequence;
  std::int64_t sent_ns;
};

std::string stamp(std::uint64_t sequence) {
  Stamp s{};
  std::memcpy(s.tag, kPlayerTag.data(), sizeof s.tag);
  s.sequence = sequence;
  s.sent_ns = now_ns();
  return std::string(reinterpret_cast<const char*>(&s), sizeof s);
}

}  // namespace

std::optional<SpoofedSender> SpoofedSender::open(std::string* why) {
  // IPPROTO_RAW implies IP_HDRINCL: the header below goes out as written,
  // but for the checksum and the total length, which the kernel fills in.
  Fd fd(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
  if (!fd) {
    *why = std::string("no raw socket (needs root or CAP_NET_RAW): ") + std::strerror(errno);
    return std::nullopt;
  }
  return SpoofedSender(std::move(fd));
}

bool SpoofedSender::send(std::uint32_t source, std::uint16_t source_port, int port,
                         std::string_view payload) {
  char packet[sizeof(iphdr) + sizeof(udphdr) + 512] = {};
  if (payload.size() > 512) return false;
  const std::size_t udp_length = sizeof(udphdr) + payload.size();
  auto* ip = reinterpret_cast<iphdr*>(packet);
  ip->version = 4;
  ip->ihl = sizeof(iphdr) / 4;
  ip->ttl = 64;
  ip->protocol = IPPROTO_UDP;
  ip->tot_len = htons(static_cast<std::uint16_t>(sizeof(iphdr) + udp_length));
  ip->saddr = htonl(source);
  ip->daddr = htonl(INADDR_LOOPBACK);
  auto* udp = reinterpret_cast<udphdr*>(packet + sizeof(iphdr));
  udp->source = htons(source_port);
  udp->dest = htons(static_cast<std::uint16_t>(port));
  udp->len = htons(static_cast<std::uint16_t>(udp_length));
  udp->check = 0;  // none: allowed over IPv4
  std::memcpy(packet + sizeof(iphdr) + sizeof(udphdr), payload.data(), payload.size());
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::size_t size = sizeof(iphdr) + udp_length;
  return ::sendto(fd_.get(), packet, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(size);
}

Flood::Flood(SpoofedSender& sender, int port, int sources, std::chrono::milliseconds duration) {
  thread_ = std::thread([this, &sender, port, sources, duration] {
    std::mt19937 random(std::random_device{}());
    const std::string junk(32, 'j');
    const auto start = Clock::now();
    for (int i = 0; i < sources && !stop_.load(std::memory_order_relaxed); ++i) {
      // Paced, but in batches of a millisecond: a sleep per datagram would
      // cost more than the datagram.
      const auto due = start + duration * i / sources;
      if (due - Clock::now() > 1ms) std::this_thread::sleep_until(due);
      const std::uint32_t source = 0x7f100000u | (random() & 0x000fffffu);  // 127.16.0.0/12
      const auto source_port = static_cast<std::uint16_t>(1024 + random() % 64000);
      if (sender.send(source, source_port, port, junk)) sent_.fetch_add(1);
    }
    done_.store(true);
  });
}

Flood::~Flood() {
  stop_.store(true);
  thread_.join();
}

GameUpstream::GameUpstream(bool answers_junk) : socket_(::socket(AF_INET, SOCK_DGRAM, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!socket_ || ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error(std::string("game upstream: ") + std::strerror(errno));
  // Room for the flood: the upstream must not be what drops the players.
  const int buffer = 4 << 20;
  ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  thread_ = std::thread([this, answers_junk] {
    char data[2048];
    for (;;) {
      sockaddr_in from{};
      socklen_t from_len = sizeof from;
      const ssize_t n = ::recvfrom(socket_.get(), data, sizeof data, 0,
                                   reinterpret_cast<sockaddr*>(&from), &from_len);
      if (stopping_.load() || (n < 0 && errno != EINTR)) return;
      if (n < 0) continue;
      if (!answers_junk && !std::string_view(data, static_cast<size_t>(n)).starts_with(kPlayerTag))
        continue;
      ::sendto(socket_.get(), data, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from),
               from_len);
    }
  });
}

GameUpstream::~GameUpstream() {
  stopping_.store(true);
  ::shutdown(socket_.get(), SHUT_RDWR);  // wakes the receiver
  thread_.join();
}

Player::Player(int port, std::chrono::milliseconds interval, std::size_t limit) {
  round_trips_ms_.reserve(limit);
  thread_ = std::thread([this, port, interval, limit] { run(port, interval, limit); });
}

Player::~Player() {
  stop_.store(true);
  thread_.join();
}

void Player::run(int port, std::chrono::milliseconds interval, std::size_t limit) {
  Fd fd = udp_connect(port);
  if (!fd) return;
  set_nonblocking(fd.get());
  auto next = Clock::now();
  for (std::size_t sent = 0; !stop_.load() && sent < limit;) {
    if (Clock::now() >= next) {
      {
        std::lock_guard lock(mutex_);
        round_trips_ms_.push_back(-1);
      }
      const std::string out = stamp(sent++);
      ::send(fd.get(), out.data(), out.size(), 0);
      // A late tick is not made up for with a burst.
      next = std::max(next + interval, Clock::now());
    }
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(next - Clock::now());
    const long ns = std::max<long>(0, static_cast<long>(wait.count()));
    const timespec timeout{ns / 1000000000, ns % 1000000000};
    pollfd p{fd.get(), POLLIN, 0};
    if (::ppoll(&p, 1, &timeout, nullptr) <= 0) continue;
    Stamp in{};
    while (::recv(fd.get(), &in, sizeof in, 0) == static_cast<ssize_t>(sizeof in)) {
      const double ms = static_cast<double>(now_ns() - in.sent_ns) / 1e6;
      std::lock_guard lock(mutex_);
      if (in.sequence < round_trips_ms_.size() && round_trips_ms_[in.sequence] < 0)
        round_trips_ms_[in.sequence] = ms;
    }
  }
}

std::size_t Player::mark() {
  std::lock_guard lock(mutex_);
  return round_trips_ms_.size();
}

bool Player::answered() {
  std::lock_guard lock(mutex_);
  return std::ranges::any_of(round_trips_ms_, [](double ms) { return ms >= 0; });
}

Player::Phase Player::phase(std::size_t from, std::size_t to) {
  std::vector<double> replied;
  Phase result;
  {
    std::lock_guard lock(mutex_);
    to = std::min(to, round_trips_ms_.size());
    for (std::size_t i = from; i < to; ++i) {
      if (round_trips_ms_[i] >= 0) replied.push_back(round_trips_ms_[i]);
    }
  }
  result.sent = to > from ? to - from : 0;
  result.replies = replied.size();
  result.p99_ms = quantile(replied, 0.99);
  return result;
}

std::optional<std::chrono::milliseconds> join_time(int port, std::chrono::milliseconds deadline) {
  const auto start = Clock::now();
  Fd fd = udp_connect(port);
  if (!fd) return std::nullopt;
  set_receive_timeout(fd.get(), 50ms);
  char reply[64];
  for (std::uint64_t i = 0; Clock::now() - start < deadline; ++i) {
    const std::string out = stamp(i);
    ::send(fd.get(), out.data(), out.size(), 0);
    if (::recv(fd.get(), reply, sizeof reply, 0) > 0) {
      return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    }
  }
  return std::nullopt;
}

double quantile(std::vector<double>& samples, double q) {
  if (samples.empty()) return 0;
  std::ranges::sort(samples);
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(samples.size())));
  return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

}  // namespace tarnwicket::test
