// Faults around the relay: an upstream that is down and comes back, peers
// that stop reading, a connect storm above the limit, SIGTERM under load.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <latch>
#include <mutex>
#include <utility>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

// A listening socket on 127.0.0.1:port (0: any free port, stored in
// *bound_port) that the test serves by hand, or not at all.
Fd listen_on(int port, int* bound_port = nullptr) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  auto* sa = reinterpret_cast<sockaddr*>(&addr);
  if (::bind(fd.get(), sa, len) != 0 || ::listen(fd.get(), 8) != 0 ||
      ::getsockname(fd.get(), sa, &len) != 0) {
    return Fd();
  }
  if (bound_port != nullptr) *bound_port = ntohs(addr.sin_port);
  return fd;
}

// One connection from the listener within the deadline, with a receive
// time-out of its own; empty when none comes.
Fd accept_within(int listener, std::chrono::milliseconds deadline) {
  pollfd p{listener, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(deadline.count())) != 1) return Fd();
  Fd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  timeval tv{10, 0};
  if (fd) ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

bool echoes(int fd, const std::string& text) {
  return send_all(fd, text.data(), text.size()) && recv_exact(fd, text.size()) == text;
}

long long millis(std::chrono::steady_clock::duration d) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

TEST(Faults, UpstreamDownThenBack) {
  const int upstream_port = free_port();
  const int port = free_port();
  RunningServer server(server_ini({{"g", "tcp", port, "127.0.0.1", upstream_port, 2}}));
  ASSERT_TRUE(server.started());
  // More failed clients than slots: each failure gives its slot back.
  for (int i = 0; i < 3; ++i) {
    Fd client = tcp_connect(port);
    EXPECT_TRUE(wait_closed(client.get()));
  }
  EXPECT_TRUE(server.process().wait_for_lines(
      "[WARN] route g connection closed: 连接 TCP 上游失败 127.0.0.1:" +
          std::to_string(upstream_port),
      3));

  // The upstream comes back on its port; two clients are relayed at once.
  Fd upstream = listen_on(upstream_port);
  ASSERT_TRUE(upstream);
  std::vector<std::pair<Fd, Fd>> relayed;  // client, and the upstream's end
  for (const std::string text : {"back a", "back b"}) {
    Fd client = tcp_connect(port);
    ASSERT_TRUE(send_all(client.get(), text.data(), text.size()));
    Fd far_end = accept_within(upstream.get(), 10s);
    ASSERT_TRUE(far_end);
    EXPECT_EQ(recv_exact(far_end.get(), text.size()), text);
    ASSERT_TRUE(send_all(far_end.get(), "ok", 2));
    EXPECT_EQ(recv_exact(client.get(), 2), "ok");
    relayed.emplace_back(std::move(client), std::move(far_end));
  }
  EXPECT_EQ(server.process().count_lines("connection limit reached"), 0u);
}

TEST(Faults, ClientThatNeverReadsIsFreedBySendTimeout) {
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

  // The only slot is free again.
  EXPECT_EQ(eventually([&] { return thread_count(proc.pid()); },
                       [&](size_t n) { return n <= idle_threads; }),
            idle_threads);
  Fd next = tcp_connect(port);
  EXPECT_TRUE(echoes(next.get(), "served"));
}

// Sends until the gateway has stopped taking data from this client: every
// buffer up to a peer that reads nothing is full. False if it never stops.
bool fill_until_stalled(int fd) {
  const std::string chunk(1 << 16, 's');
  for (int i = 0; i < 4096; ++i) {
    const ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0 || errno == EINTR) continue;
    if (errno != EAGAIN) return false;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 1000) == 0) return true;  // a whole second without progress
  }
  return false;
}

TEST(Faults, StopWithAnUpstreamThatStalls) {
  // Connections complete in the listen backlog, and nothing is ever read.
  int stalled_port = 0;
  Fd stalled = listen_on(0, &stalled_port);
  ASSERT_TRUE(stalled);
  const int port = free_port();
  RunningServer server(server_ini({{"g", "tcp", port, "127.0.0.1", stalled_port}}));
  ASSERT_TRUE(server.started());

  Fd client = tcp_connect(port);
  ASSERT_TRUE(fill_until_stalled(client.get()));  // the gateway is stuck sending upstream
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
  std::atomic<int> refused{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      start.arrive_and_wait();
      Fd client = tcp_connect(port);
      const bool echoed = client && echoes(client.get(), "storm " + std::to_string(i));
      ++(echoed ? relayed : refused);
      answered.arrive_and_wait();  // relayed clients hold their slots until all are answered
    });
  }
  for (auto& thread : clients) thread.join();
  EXPECT_EQ(relayed.load(), kLimit);
  EXPECT_EQ(refused.load(), kClients - kLimit);
  const std::string limit_line = "[WARN] connection limit reached on route g";
  EXPECT_TRUE(proc.wait_for_lines("relay ended", 2 * kLimit));
  EXPECT_EQ(proc.count_lines(limit_line), static_cast<size_t>(refused.load()));

  // Every slot is back: the limit can be held at once, and one more is refused.
  ASSERT_EQ(eventually([&] { return thread_count(proc.pid()); },
                       [&](size_t n) { return n <= idle_threads; }),
            idle_threads);
  std::vector<Fd> held;
  for (int i = 0; i < kLimit; ++i) {
    held.push_back(tcp_connect(port));
    EXPECT_TRUE(echoes(held.back().get(), "held " + std::to_string(i)));
  }
  Fd extra = tcp_connect(port);
  EXPECT_TRUE(wait_closed(extra.get()));
  EXPECT_TRUE(proc.wait_for_lines(limit_line, static_cast<size_t>(refused.load()) + 1));
}

// "YYYY-MM-DD HH:MM:SS [LEVEL] " followed by the message.
bool split_log_line(const std::string& line, std::string& message) {
  if (line.size() < 20) return false;
  for (size_t i = 0; i < 19; ++i) {
    const char c = line[i];
    const char want = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : '0';
    if (want == '0' ? (c < '0' || c > '9') : c != want) return false;
  }
  for (const std::string level : {" [INFO] ", " [WARN] ", " [ERROR] "}) {
    if (line.compare(19, level.size(), level) == 0) {
      message = line.substr(19 + level.size());
      return true;
    }
  }
  return false;
}

TEST(Faults, SigtermUnderFullLoad) {
  constexpr int kConnections = 40;
  TcpEchoServer upstream;
  const int port = free_port();
  RunningServer server(server_ini({{"g", "tcp", port, "127.0.0.1", upstream.port()}}));
  ASSERT_TRUE(server.started());

  std::mutex mutex;
  std::condition_variable changed;
  int busy = 0;  // connections that have made a few round trips
  std::vector<std::thread> clients;
  for (int c = 0; c < kConnections; ++c) {
    clients.emplace_back([&, c] {
      Fd client = tcp_connect(port);
      const std::string chunk(1 << 16, static_cast<char>('a' + c % 26));
      const auto until = std::chrono::steady_clock::now() + 30s;
      for (int round = 0; round < 100000 && std::chrono::steady_clock::now() < until; ++round) {
        if (!client || !echoes(client.get(), chunk)) return;  // the stop ended it
        if (round == 3) {
          std::lock_guard lock(mutex);
          ++busy;
          changed.notify_all();
        }
      }
    });
  }
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return busy == kConnections; }));
  }
  const auto begin = std::chrono::steady_clock::now();
  const auto status = server.terminate(20s);
  const auto took = std::chrono::steady_clock::now() - begin;
  for (auto& thread : clients) thread.join();
  EXPECT_EQ(status, 0);
  EXPECT_LT(took, 5s);  // sanitizer builds included
  std::printf("[ figures  ] sigterm with %d busy connections: exit after %lld ms\n", kConnections,
              millis(took));

  // Whole lines only: each one a known message behind a well-formed prefix.
  const std::vector<std::string> lines = server.process().stdout_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(server.process().stdout_text().back(), '\n');
  size_t ended = 0;
  size_t stopped = 0;
  for (const std::string& line : lines) {
    std::string message;
    if (line == "server started; press Ctrl+C to stop") continue;
    ASSERT_TRUE(split_log_line(line, message)) << line;
    if (message == "route g relay ended client->server" ||
        message == "route g relay ended server->client") {
      ++ended;
    } else if (message == "server stopped") {
      ++stopped;
    } else {
      EXPECT_EQ(message.rfind("server route g [tcp] listening 127.0.0.1:", 0), 0u) << line;
    }
  }
  EXPECT_EQ(ended, 2u * kConnections);
  EXPECT_EQ(stopped, 1u);
  EXPECT_NE(lines.back().find("[INFO] server stopped"), std::string::npos);
}

}  // namespace
}  // namespace tarnwicket::test
