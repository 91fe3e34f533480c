#pragma once

// A UDP flood on loopback and the players who live through it, for the flood
// tests and the flood benchmark: datagrams from forged IPv4 sources (a raw
// socket with a hand-made header), a game upstream, a steady player that
// times its replies, and a newcomer's join. No test framework here.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/net.h"

namespace tarnwicket::test {

// What players send starts with this; junk does not.
inline constexpr std::string_view kPlayerTag = "play";

// Sends UDP datagrams to 127.0.0.1 from any source address and port.
class SpoofedSender {
 public:
  // Empty, with the reason in `why`, without root or CAP_NET_RAW.
  static std::optional<SpoofedSender> open(std::string* why);
  // `source` in host byte order.
  bool send(std::uint32_t source, std::uint16_t source_port, int port, std::string_view payload);

 private:
  explicit SpoofedSender(Fd fd) : fd_(std::move(fd)) {}
  Fd fd_;
};

// Sends `sources` datagrams of junk to 127.0.0.1:port, each from another
// random source of 127.16.0.0/12 and a random port, spread evenly over
// `duration`, from a thread of its own. Stops early on destruction.
class Flood {
 public:
  Flood(SpoofedSender& sender, int port, int sources, std::chrono::milliseconds duration);
  ~Flood();
  std::size_t sent() const { return sent_.load(std::memory_order_relaxed); }
  bool done() const { return done_.load(); }

 private:
  std::atomic<std::size_t> sent_{0};
  std::atomic<bool> stop_{false}, done_{false};
  std::thread thread_;
};

// A game server's UDP side on 127.0.0.1: echoes what players send and, when
// `answers_junk`, everything else too; a real one ignores junk.
class GameUpstream {
 public:
  explicit GameUpstream(bool answers_junk);
  ~GameUpstream();
  int port() const { return local_port(socket_.get()); }

 private:
  Fd socket_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// A player already in the game: one datagram every `interval` to
// 127.0.0.1:port from a socket of its own, each reply timed. Sends at most
// `limit` datagrams; stops on destruction.
class Player {
 public:
  Player(int port, std::chrono::milliseconds interval, std::size_t limit = 100000);
  ~Player();
  // The number of datagrams sent so far: a mark between two phases.
  std::size_t mark();
  struct Phase {
    std::size_t sent = 0, replies = 0;
    double p99_ms = 0;
    double kept() const {
      return sent == 0 ? 0 : static_cast<double>(replies) / static_cast<double>(sent);
    }
  };
  // The datagrams sent between two marks and their replies so far.
  Phase phase(std::size_t from, std::size_t to);
  // True once the first reply came (the association is made).
  bool answered();

 private:
  void run(int port, std::chrono::milliseconds interval, std::size_t limit);

  std::mutex mutex_;
  std::vector<double> round_trips_ms_;  // by sequence; negative: no reply yet
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A new player from a fresh port: the time to its first reply, sending every
// 50 ms; nullopt when none comes within `deadline`.
std::optional<std::chrono::milliseconds> join_time(int port, std::chrono::milliseconds deadline);

// The quantile `q` (0..1) of `samples` (sorted in place); 0 when empty.
double quantile(std::vector<double>& samples, double q);

}  // namespace tarnwicket::test
