// Under attack: players already in the game keep playing and new players get
// in while a UDP route takes junk from thousands of forged sources, or a TCP
// route a storm of connects; the gateway's threads and lines stay bounded.

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

#include "support/gateway_fixture.h"
#include "support/spoof.h"

namespace tarnwicket::test {
namespace {

using Clock = std::chrono::steady_clock;

double time_factor() { return static_cast<double>(scaled(1000ms).count()) / 1000; }

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A flood of a few seconds that 2 cores sustain under the sanitizers too:
// the rate and the table shrink with the time factor, so that the flood
// fills the table all the same (about 1.4 s in).
class UdpFlood : public RelayFixture {
 protected:
  // Longer than the flood: the junk's associations outlive it unless evicted,
  // so that the table fills and stays full (a shorter one empties it by itself).
  static constexpr int kIdleMs = 4000;
  static constexpr auto kFloodTime = 3000ms;

  void SetUp() override {
    std::string why;
    sender_ = SpoofedSender::open(&why);
    if (!sender_) GTEST_SKIP() << why;
  }

  // Route u to `upstream`, unconfirmed associations evictable, refusals summed up.
  bool start_to(const GameUpstream& upstream, const std::string& extra = "") {
    RouteSpec route = udp_route(max_connections_);
    route.target_port = upstream.port();
    route.extra = "udp_evict_unconfirmed = true\n" + extra;
    const bool started = start({route}, 5000, kIdleMs, {}, "127.0.0.1", "log_refusals = summary\n");
    idle_threads_ = thread_count(proc().pid());
    idle_fds_ = fd_count(proc().pid());
    return started;
  }

  struct Outcome {
    Player::Phase before, during;
    std::optional<std::chrono::milliseconds> join_during, join_after;
    std::size_t peak_threads = 0, peak_fds = 0;
  };

  // A player in the game before, then the flood; a newcomer once the table
  // has filled and another right after the flood. Reading the thread count
  // of thousands costs the machine: only when asked.
  Outcome flood(Player& player, bool count_threads = false) {
    Outcome out;
    const pid_t pid = proc().pid();
    EXPECT_TRUE(eventually_true([&] { return player.answered(); }));
    const std::size_t start = player.mark();
    EXPECT_TRUE(eventually_true([&] { return player.mark() >= start + 50; }));
    const std::size_t flood_start = player.mark();
    out.before = player.phase(start, flood_start);
    const auto sample = [&] {
      if (!count_threads) return;
      out.peak_threads = std::max(out.peak_threads, thread_count(pid));
      out.peak_fds = std::max(out.peak_fds, fd_count(pid));
    };
    {
      Flood flood(*sender_, udp_port_, sources_, kFloodTime);
      EXPECT_TRUE(eventually_true([&] {
        sample();
        return flood.sent() >= static_cast<std::size_t>(max_connections_) + 500 || flood.done();
      }));
      out.join_during = join_time(udp_port_, scaled(3s));
      EXPECT_TRUE(eventually_true([&] { return sample(), flood.done(); }));
    }
    const std::size_t flood_end = player.mark();
    out.join_after = join_time(udp_port_, scaled(3s));
    // The flood's last replies may still be on their way.
    eventually_true(
        [&] { return player.phase(flood_start, flood_end).replies == flood_end - flood_start; },
        500ms);
    out.during = player.phase(flood_start, flood_end);
    return out;
  }

  void expect_players_kept(const Outcome& out) {
    EXPECT_GT(out.during.replies, 0u);
    // A sanitizer's server is several times slower: what it keeps then says
    // nothing of the relay; what it joins and survives does.
    if (!kSanitized) {
      EXPECT_GE(out.during.kept(), 0.99)
          << out.during.replies << " of " << out.during.sent << ", p99 " << out.during.p99_ms;
    }
    for (const auto& join : {out.join_during, out.join_after}) {
      ASSERT_TRUE(join.has_value()) << "a new player got no reply";
      EXPECT_LE(*join, scaled(1s));
    }
  }

  size_t route_lines(std::string_view what) {
    return proc().count_lines("route u " + std::string(what));
  }

  const int max_connections_ = static_cast<int>(4096 / time_factor());
  const int sources_ = static_cast<int>(9000 / time_factor());
  std::size_t idle_threads_ = 0, idle_fds_ = 0;
  std::optional<SpoofedSender> sender_;
};

TEST_P(UdpFlood, PlayersKeepTheirRepliesAndNewOnesGetInAgainstAnEchoingUpstream) {
  GameUpstream upstream(/*answers_junk=*/true);
  ASSERT_TRUE(start_to(upstream));
  Player player(udp_port_, 10ms);
  expect_players_kept(flood(player));
  EXPECT_GE(route_lines("evicted"), 1u) << "the flood never filled the table";
}

// A real game server ignores junk; the first-reply time-out frees the table.
TEST_P(UdpFlood, PlayersKeepTheirRepliesAndNewOnesGetInAgainstASilentUpstream) {
  GameUpstream upstream(/*answers_junk=*/false);
  ASSERT_TRUE(start_to(upstream, "udp_first_reply_timeout_ms = 500\n"));
  Player player(udp_port_, 10ms);
  expect_players_kept(flood(player));
}

TEST_P(UdpFlood, CostsBoundedThreadsAndFewLinesAndComesBackToIdle) {
  GameUpstream upstream(/*answers_junk=*/true);
  ASSERT_TRUE(start_to(upstream));
  std::optional<Player> player(std::in_place, udp_port_, 10ms);
  const Outcome out = flood(*player, /*count_threads=*/true);
  // One thread per association on the thread engine; an evicted one ends
  // after its place is taken, once it gets the table's lock from the
  // receiving thread that keeps making new ones: a few hundred may be on
  // their way out at 3,000 evictions a second. A leak would reach thousands.
  EXPECT_LE(out.peak_threads, idle_threads_ + max_connections_ + 512);
  // One upstream socket per association: an evicted one must give its back.
  EXPECT_LE(out.peak_fds, idle_fds_ + max_connections_ + 512);
  player.reset();
  EXPECT_TRUE(back_to_idle(kIdleMs * 1ms + 10s));
  const size_t lines = route_lines("refused") + route_lines("evicted") + route_lines("dropped");
  EXPECT_GE(lines, 1u);
  EXPECT_LE(lines, 10u) << proc().stdout_text();
  EXPECT_EQ(proc().count_lines("UDP association limit reached"), 0u);
}

TARNWICKET_ON_BOTH_ENGINES(UdpFlood);

class ConnectStorm : public RelayFixture {
 protected:
  static constexpr int kRate = 20;  // new clients a second

  bool start_storm_route() {
    return start({{"g", "tcp", port_, "127.0.0.1", tcp_upstream_.port(), 0, true,
                   "new_clients_per_second = " + std::to_string(kRate) + "\n"}});
  }

  struct Outcome {
    std::size_t clients = 0, admitted = 0, upstream_connects = 0;
    double slowest_refusal_ms = 0, seconds = 0;
  };

  // Connects from 127.0.0.2-9, one every 2 ms: a storm that the gateway
  // must refuse, but not one that takes both cores from the player by
  // itself. A refused client sees its close at once; one still open after
  // 300 ms was admitted (held until the end).
  Outcome storm() {
    constexpr int kClients = 900;
    Outcome out;
    std::vector<Fd> admitted;
    std::vector<std::pair<Fd, Clock::time_point>> pending;
    const std::size_t upstream_before = tcp_sockets_to(tcp_upstream_.port());
    const auto begin = Clock::now();
    for (int i = 0; i < kClients || !pending.empty();) {
      const auto now = Clock::now();
      if (i < kClients && now >= begin + i * 2ms) {
        const std::string from = "127.0.0." + std::to_string(2 + i % 8);
        pending.emplace_back(tcp_connect(port_, from.c_str()), now);
        EXPECT_TRUE(pending.back().first) << "connect " << i << " from " << from;
        ++i;
        continue;
      }
      while (!pending.empty() && now - pending.front().second > scaled(300ms)) {
        admitted.push_back(std::move(pending.front().first));
        pending.erase(pending.begin());
      }
      std::vector<pollfd> waits;
      for (const auto& [fd, at] : pending) waits.push_back({fd.get(), POLLIN | POLLRDHUP, 0});
      if (::poll(waits.data(), waits.size(), 1) <= 0) continue;
      for (std::size_t k = waits.size(); k-- > 0;) {
        if (waits[k].revents == 0) continue;
        char byte;
        EXPECT_LE(::recv(pending[k].first.get(), &byte, 1, MSG_DONTWAIT), 0) << "data, refused";
        out.slowest_refusal_ms = std::max(out.slowest_refusal_ms, ms_since(pending[k].second));
        pending.erase(pending.begin() + static_cast<long>(k));
      }
    }
    out.clients = kClients;
    out.seconds = ms_since(begin) / 1000;
    out.admitted = admitted.size();
    out.upstream_connects = tcp_sockets_to(tcp_upstream_.port()) - upstream_before;
    return out;
  }
};

TEST_P(ConnectStorm, RefusedClientsAreClosedAtOnceWithoutAnUpstreamConnect) {
  ASSERT_TRUE(start_storm_route());
  const Outcome out = storm();
  // A full bucket at the start, then the rate.
  EXPECT_LE(out.admitted, kRate * (out.seconds + 1) + 2);
  EXPECT_GE(out.admitted, static_cast<std::size_t>(kRate));
  EXPECT_LT(out.admitted, out.clients);
  EXPECT_LT(out.slowest_refusal_ms, static_cast<double>(scaled(50ms).count()));
  // Each admitted client has its upstream connect; the refused none.
  EXPECT_EQ(out.upstream_connects, out.admitted);
}

TARNWICKET_ON_BOTH_ENGINES(ConnectStorm);

}  // namespace
}  // namespace tarnwicket::test
