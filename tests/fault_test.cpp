// Faults around the relay: upstreams that are down, unresolvable or stalled,
// peers that stop reading, a connect storm above the limit, SIGTERM under load.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <latch>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

TEST(Faults, UpstreamsDownUnresolvableThenBack) {
  const int upstream_port = free_port();
  const int port = free_port();
  const int lost_port = free_port();
  RunningServer server(server_ini({{"g", "tcp", port, "127.0.0.1", upstream_port, 2},
                                   {"h", "tcp", lost_port, "no-such-host.invalid", 7000, 1}}));
  ASSERT_TRUE(server.started());
  Process& proc = server.process();
  // More failed clients than slots: each failure gives its slot back.
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(wait_closed(tcp_connect(port).get()));
    EXPECT_TRUE(wait_closed(tcp_connect(lost_port).get()));
  }
  EXPECT_TRUE(proc.wait_for_lines("[WARN] route g connection closed: 连接 TCP 上游失败 127.0.0.1:" +
                                      std::to_string(upstream_port),
                                  3));
  EXPECT_TRUE(proc.wait_for_lines("[WARN] route h connection closed: 解析 TCP 上游地址失败", 3));

  // The upstream comes back on its port; two clients are relayed at once.
  TcpEchoServer back(0, upstream_port);
  Fd a = tcp_connect(port);
  Fd b = tcp_connect(port);
  EXPECT_TRUE(echoes(a.get(), "back a"));
  EXPECT_TRUE(echoes(b.get(), "back b"));
  EXPECT_EQ(proc.count_lines("connection limit reached"), 0u);
}

TEST(Faults, NeverReadingClientIsFreedAndIdleClientTimesOut) {
  TcpEchoServer upstream;
  const int port = free_port();
  RunningServer server(server_ini({{"g", "tcp", port, "127.0.0.1", upstream.port(), 1}}, 300));
  ASSERT_TRUE(server.started());
  Process& proc = server.process();
  const size_t idle_threads = thread_count(proc.pid());

  // Echoes pile up until every buffer on the way back is full; the gateway's
  // send to this client then times out.
  Fd client = tcp_connect(port);
  std::thread writer([&] {
    const std::string chunk(1 << 16, 'w');
    for (int i = 0; i < 1024 && send_all(client.get(), chunk.data(), chunk.size()); ++i) {
    }
  });
  EXPECT_TRUE(proc.wait_for_line("[INFO] route g relay ended server->client", 20s));
  EXPECT_TRUE(proc.wait_for_line("[INFO] route g relay ended client->server", 20s));
  writer.join();  // the gateway's close makes the blocked send fail
  EXPECT_TRUE(wait_closed(client.get()));

  // The only slot is free again; a client that then goes quiet is closed.
  EXPECT_EQ(eventually([&] { return thread_count(proc.pid()); },
                       [&](size_t n) { return n <= idle_threads; }),
            idle_threads);
  Fd next = tcp_connect(port);
  EXPECT_TRUE(echoes(next.get(), "served"));
  EXPECT_TRUE(wait_closed(next.get()));
  EXPECT_TRUE(proc.wait_for_lines("relay ended", 4));
}

TEST(Faults, StopWithAnUpstreamThatStalls) {
  // Connections complete in the listen backlog, and nothing is ever read.
  int stalled_port = 0;
  Fd stalled = tcp_listener(0, &stalled_port);
  ASSERT_TRUE(stalled);
  const int port = free_port();
  RunningServer server(server_ini({{"g", "tcp", port, "127.0.0.1", stalled_port}}));
  ASSERT_TRUE(server.started());

  // Send until a whole second passes without progress: the gateway is stuck
  // sending upstream.
  Fd client = tcp_connect(port);
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
  EXPECT_EQ(server.terminate(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
  EXPECT_EQ(server.process().count_lines("relay ended"), 2u);
}

TEST(Faults, ConnectStormAboveTheLimit) {
  constexpr int kLimit = 20;
  constexpr int kClients = 60;
  TcpEchoServer upstream;
  const int port = free_port();
  RunningServer server(server_ini({{"g", "tcp", port, "127.0.0.1", upstream.port(), kLimit}}));
  ASSERT_TRUE(server.started());
  Process& proc = server.process();
  const size_t idle_threads = thread_count(proc.pid());

  std::latch start(kClients);
  std::latch answered(kClients);
  std::atomic<int> relayed{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      start.arrive_and_wait();
      Fd client = tcp_connect(port);
      if (client && echoes(client.get(), "storm " + std::to_string(i))) ++relayed;
      answered.arrive_and_wait();  // relayed clients hold their slots until all are answered
    });
  }
  for (auto& thread : clients) thread.join();
  EXPECT_EQ(relayed.load(), kLimit);
  const std::string limit_line = "[WARN] connection limit reached on route g";
  EXPECT_TRUE(proc.wait_for_lines("relay ended", 2 * kLimit));
  EXPECT_EQ(proc.count_lines(limit_line), size_t{kClients - kLimit});

  // Every slot is back: the limit can be held at once, and one more is refused.
  ASSERT_EQ(eventually([&] { return thread_count(proc.pid()); },
                       [&](size_t n) { return n <= idle_threads; }),
            idle_threads);
  std::vector<Fd> held;
  for (int i = 0; i < kLimit; ++i) {
    held.push_back(tcp_connect(port));
    EXPECT_TRUE(echoes(held.back().get(), "held " + std::to_string(i)));
  }
  EXPECT_TRUE(wait_closed(tcp_connect(port).get()));
  EXPECT_TRUE(proc.wait_for_lines(limit_line, kClients - kLimit + 1));
  // No half-close: the gateway ends both directions, and the slot comes back.
  ::shutdown(held.back().get(), SHUT_WR);
  EXPECT_TRUE(wait_closed(held.back().get()));
  EXPECT_TRUE(eventually([&] { return echoes(tcp_connect(port).get(), "again"); },
                         [](bool ok) { return ok; }));
}

TEST(Faults, SigtermUnderFullLoad) {
  constexpr int kConnections = 40;
  TcpEchoServer upstream;
  const int port = free_port();
  RunningServer server(server_ini({{"g", "tcp", port, "127.0.0.1", upstream.port()}}));
  ASSERT_TRUE(server.started());

  std::atomic<int> busy{0};  // connections that have made a few round trips
  std::vector<std::thread> clients;
  for (int c = 0; c < kConnections; ++c) {
    clients.emplace_back([&, c] {
      Fd client = tcp_connect(port);
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
  const auto status = server.terminate(20s);
  const auto took = std::chrono::steady_clock::now() - begin;
  for (auto& thread : clients) thread.join();
  EXPECT_EQ(status, 0);
  EXPECT_LT(took, 5s);  // sanitizer builds included
  std::printf(
      "[ figures  ] sigterm with %d busy connections: exit after %lld ms\n", kConnections,
      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));

  // Whole lines only, and nothing but the start, the listener, two per
  // connection, and the stop that comes after every connection has ended.
  const std::vector<std::string> lines = server.process().stdout_lines();
  ASSERT_EQ(lines.size(), 2u * kConnections + 3) << server.process().stdout_text();
  EXPECT_EQ(server.process().stdout_text().back(), '\n');
  EXPECT_EQ(server.process().count_lines("[INFO] route g relay ended "), 2u * kConnections);
  EXPECT_EQ(server.process().count_lines("[INFO] server route g [tcp] listening"), 1u);
  EXPECT_EQ(server.process().count_lines("server started; press Ctrl+C to stop"), 1u);
  EXPECT_NE(lines.back().find("[INFO] server stopped"), std::string::npos);
}

}  // namespace
}  // namespace tarnwicket::test
