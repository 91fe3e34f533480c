// Faults around the relay: upstreams that are down, unresolvable or stalled,
// peers that stop reading or half-close, a connect storm above the limit,
// SIGTERM under load.

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <latch>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

class Faults : public RelayFixture {
 protected:
  // Three clients on a route whose upstream connect fails: each is closed, and
  // each failure gives its slot back (the routes have fewer slots than that).
  void expect_three_closed() {
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(wait_closed(tcp_connect(port_).get()));
  }
};

TEST_F(Faults, UpstreamDownClosesEachClient) {
  const int down = free_port();
  ASSERT_TRUE(start({{"g", "tcp", port_, "127.0.0.1", down, 2}}));
  expect_three_closed();
  EXPECT_TRUE(proc().wait_for_lines(
      "[WARN] route g connection closed: 连接 TCP 上游失败 127.0.0.1:" + std::to_string(down), 3));
  EXPECT_TRUE(back_to_idle());
}

TEST_F(Faults, UnresolvableUpstreamClosesEachClient) {
  ASSERT_TRUE(start({{"h", "tcp", port_, "no-such-host.invalid", 7000, 1}}));
  expect_three_closed();
  EXPECT_TRUE(proc().wait_for_lines("[WARN] route h connection closed: 解析 TCP 上游地址失败", 3));
  EXPECT_TRUE(back_to_idle());
}

// The upstream comes back on its port; two clients are relayed at once.
TEST_F(Faults, UpstreamBackOnItsPortIsRelayedAgain) {
  const int down = free_port();
  ASSERT_TRUE(start({{"g", "tcp", port_, "127.0.0.1", down, 2}}));
  expect_three_closed();
  TcpUpstream back(TcpUpstream::Mode::kEcho, down);
  Fd a = tcp_connect(port_);
  Fd b = tcp_connect(port_);
  EXPECT_TRUE(echoes(a.get(), "back a"));
  EXPECT_TRUE(echoes(b.get(), "back b"));
  EXPECT_EQ(proc().count_lines("connection limit reached"), 0u);
}

// Echoes pile up until every buffer on the way back is full; the gateway's
// send to this client then times out, and the only slot is free again.
TEST_F(Faults, NeverReadingClientIsFreedBySendTimeout) {
  ASSERT_TRUE(start({tcp_route(1)}, 300));
  Fd client = tcp_connect(port_);
  std::thread writer([&] {
    const std::string chunk(1 << 16, 'w');
    for (int i = 0; i < 1024 && send_all(client.get(), chunk.data(), chunk.size()); ++i) {
    }
  });
  EXPECT_TRUE(proc().wait_for_line("[INFO] route g relay ended server->client", 20s));
  EXPECT_TRUE(proc().wait_for_line("[INFO] route g relay ended client->server", 20s));
  writer.join();  // the gateway's close makes the blocked send fail
  EXPECT_TRUE(wait_closed(client.get()));
  EXPECT_TRUE(back_to_idle());
  EXPECT_TRUE(echoes(tcp_connect(port_).get(), "served"));
}

TEST_F(Faults, IdleClientTimesOut) {
  ASSERT_TRUE(start({tcp_route(1)}, 300));
  Fd client = tcp_connect(port_);
  EXPECT_TRUE(echoes(client.get(), "then quiet"));
  EXPECT_TRUE(wait_closed(client.get()));
  EXPECT_TRUE(proc().wait_for_lines("route g relay ended", 2));
  EXPECT_TRUE(back_to_idle());
}

// No half-close: a client's FIN ends both directions, and the slot comes back.
TEST_F(Faults, ClientShutdownEndsBothDirections) {
  ASSERT_TRUE(start({tcp_route(1)}));
  Fd client = tcp_connect(port_);
  ASSERT_TRUE(echoes(client.get(), "before"));
  ::shutdown(client.get(), SHUT_WR);
  EXPECT_TRUE(wait_closed(client.get()));
  EXPECT_TRUE(back_to_idle());
  EXPECT_TRUE(echoes(tcp_connect(port_).get(), "again"));
}

TEST_F(Faults, StopWithAnUpstreamThatStalls) {
  int stalled_port = 0;
  Fd stalled = tcp_listener(0, &stalled_port);
  ASSERT_TRUE(start({{"g", "tcp", port_, "127.0.0.1", stalled_port}}));
  // Send until a whole second passes without progress: the gateway is stuck
  // sending upstream.
  Fd client = tcp_connect(port_);
  const std::string chunk(1 << 16, 's');
  bool stuck = false;
  for (int i = 0; i < 4096 && !stuck; ++i) {
    if (::send(client.get(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
      continue;
    ASSERT_TRUE(errno == EAGAIN || errno == EINTR);
    pollfd p{client.get(), POLLOUT, 0};
    stuck = ::poll(&p, 1, 1000) == 0;
  }
  ASSERT_TRUE(stuck);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(server().terminate(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
  EXPECT_EQ(proc().count_lines("relay ended"), 2u);
}

// 60 simultaneous connects on 20 slots: exactly 20 relayed, one limit line per
// refused client; afterwards all 20 slots can be held at once, and no more.
TEST_F(Faults, ConnectStormRelaysTheLimitAndFreesEverySlot) {
  constexpr int kLimit = 20;
  constexpr int kClients = 60;
  ASSERT_TRUE(start({tcp_route(kLimit)}));
  std::latch start_line(kClients);
  std::latch answered(kClients);
  std::atomic<int> relayed{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      start_line.arrive_and_wait();
      Fd client = tcp_connect(port_);
      if (client && echoes(client.get(), "storm " + std::to_string(i))) ++relayed;
      answered.arrive_and_wait();  // relayed clients hold their slots until all are answered
    });
  }
  for (auto& thread : clients) thread.join();
  EXPECT_EQ(relayed.load(), kLimit);
  const std::string limit_line = "[WARN] connection limit reached on route g";
  EXPECT_TRUE(proc().wait_for_lines("relay ended", 2 * kLimit));
  EXPECT_EQ(proc().count_lines(limit_line), size_t{kClients - kLimit});

  ASSERT_TRUE(back_to_idle());
  std::vector<Fd> held;
  for (int i = 0; i < kLimit; ++i) {
    held.push_back(tcp_connect(port_));
    EXPECT_TRUE(echoes(held.back().get(), "held " + std::to_string(i)));
  }
  EXPECT_TRUE(wait_closed(tcp_connect(port_).get()));
  EXPECT_TRUE(proc().wait_for_lines(limit_line, kClients - kLimit + 1));
}

TEST_F(Faults, SigtermUnderFullLoad) {
  constexpr int kConnections = 40;
  ASSERT_TRUE(start({tcp_route()}));
  std::atomic<int> busy{0};  // connections that have made a few round trips
  std::vector<std::thread> clients;
  for (int c = 0; c < kConnections; ++c) {
    clients.emplace_back([&, c] {
      Fd client = tcp_connect(port_);
      const std::string chunk(1 << 16, static_cast<char>('a' + c % 26));
      const auto until = std::chrono::steady_clock::now() + 30s;
      for (int round = 0; round < 100000 && std::chrono::steady_clock::now() < until; ++round) {
        if (!client || !echoes(client.get(), chunk)) return;  // the stop ended it
        if (round == 3) ++busy;
      }
    });
  }
  ASSERT_EQ(eventually([&] { return busy.load(); }, [](int n) { return n == kConnections; }, 20s),
            kConnections);
  const auto begin = std::chrono::steady_clock::now();
  const auto status = server().terminate(20s);
  const auto took = std::chrono::steady_clock::now() - begin;
  for (auto& thread : clients) thread.join();
  EXPECT_EQ(status, 0);
  EXPECT_LT(took, 5s);  // sanitizer builds included
  std::printf(
      "[ figures  ] sigterm with %d busy connections: exit after %lld ms\n", kConnections,
      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));

  // Whole lines only, and nothing but the start, the listener, two per
  // connection, and the stop that comes after every connection has ended.
  const std::vector<std::string> lines = proc().stdout_lines();
  ASSERT_EQ(lines.size(), 2u * kConnections + 3) << proc().stdout_text();
  EXPECT_EQ(proc().stdout_text().back(), '\n');
  EXPECT_EQ(proc().count_lines("[INFO] route g relay ended "), 2u * kConnections);
  EXPECT_EQ(proc().count_lines("[INFO] server route g [tcp] listening"), 1u);
  EXPECT_EQ(proc().count_lines("server started; press Ctrl+C to stop"), 1u);
  EXPECT_NE(lines.back().find("[INFO] server stopped"), std::string::npos);
}

}  // namespace
}  // namespace tarnwicket::test
