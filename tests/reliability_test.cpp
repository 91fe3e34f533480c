// The real binary under churn, faults and a stop under load. Sanitizer builds
// run several times slower, so they use smaller counts; the bounds stay.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <latch>
#include <mutex>
#include <stdexcept>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr int kTcpChurn = kSanitized ? 4000 : 20000;
constexpr int kUdpChurn = kSanitized ? 500 : 2000;
constexpr int kChurnThreads = 4;
// Resident memory: the second half of the TCP churn may add at most this much
// over the first (the first half fills the allocator's and thread caches),
// and the whole run at most the ceiling over the idle process.
constexpr size_t kRssGrowthKib = 4 * 1024;
constexpr size_t kRssCeilingKib = 64 * 1024;

// An echo upstream on one thread with poll, so that thousands of short
// connections cost the test no thread each. Replies are sent blocking: for
// small exchanges only. Listens on the given port, or any free one.
class PollEchoServer {
 public:
  explicit PollEchoServer(int port = 0) {
    listener_ = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int one = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    auto* sa = reinterpret_cast<sockaddr*>(&addr);
    int wake[2];
    if (::bind(listener_.get(), sa, len) != 0 || ::listen(listener_.get(), 1024) != 0 ||
        ::getsockname(listener_.get(), sa, &len) != 0 || ::pipe2(wake, O_CLOEXEC) != 0) {
      throw std::runtime_error("echo upstream cannot listen");
    }
    port_ = ntohs(addr.sin_port);
    wake_read_ = Fd(wake[0]);
    wake_write_ = Fd(wake[1]);
    thread_ = std::thread([this] { run(); });
  }
  ~PollEchoServer() {
    static_cast<void>(::write(wake_write_.get(), "x", 1));
    thread_.join();
  }
  int port() const { return port_; }

 private:
  void run() {
    std::vector<Fd> clients;
    std::vector<pollfd> polled;
    std::string buffer(65536, '\0');
    for (;;) {
      polled.assign({{wake_read_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}});
      for (const Fd& c : clients) polled.push_back({c.get(), POLLIN, 0});
      if (::poll(polled.data(), polled.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (polled[0].revents != 0) return;
      for (size_t i = clients.size(); i-- > 0;) {  // backwards: erasing keeps indices valid
        if (polled[i + 2].revents == 0) continue;
        const ssize_t n = ::recv(clients[i].get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0 || !send_all(clients[i].get(), buffer.data(), static_cast<size_t>(n))) {
          clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
        }
      }
      if ((polled[1].revents & POLLIN) != 0) {
        const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) clients.emplace_back(fd);
      }
    }
  }

  Fd listener_;
  Fd wake_read_;
  Fd wake_write_;
  int port_ = 0;
  std::thread thread_;
};

bool echoes(int fd, const std::string& text) {
  return send_all(fd, text.data(), text.size()) && recv_exact(fd, text.size()) == text;
}

// `count` connect/echo/close exchanges over a few client threads, within the
// budget; gives the number that failed (or were not made in time).
int tcp_churn(int port, int count, std::chrono::seconds budget) {
  const auto until = std::chrono::steady_clock::now() + budget;
  std::atomic<int> next{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kChurnThreads; ++t) {
    threads.emplace_back([&] {
      for (int i; (i = next++) < count;) {
        Fd client = std::chrono::steady_clock::now() < until ? tcp_connect(port) : Fd();
        if (!client || !echoes(client.get(), "churn " + std::to_string(i))) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  return failures.load();
}

// `count` UDP clients, each from a port of its own and so through an
// association of its own, each answered once; gives the number not answered.
int udp_churn(int port, int count) {
  constexpr int kBatch = 100;
  int failures = 0;
  for (int first = 0; first < count; first += kBatch) {
    std::vector<Fd> batch;
    for (int i = first; i < std::min(count, first + kBatch); ++i) {
      batch.push_back(udp_socket());
      if (!udp_send(batch.back().get(), port, "assoc " + std::to_string(i))) ++failures;
    }
    for (size_t j = 0; j < batch.size(); ++j) {
      if (udp_recv(batch[j].get(), 5s) != "assoc " + std::to_string(first + static_cast<int>(j))) {
        ++failures;
      }
    }
  }
  return failures;
}

struct Usage {
  size_t threads;
  size_t fds;
  size_t rss_kib;
};

Usage usage(pid_t pid) { return {thread_count(pid), fd_count(pid), resident_kib(pid)}; }

// The usage once threads and descriptors are back to the idle level.
Usage settled(pid_t pid, const Usage& idle) {
  return eventually([&] { return usage(pid); },
                    [&](const Usage& u) { return u.threads <= idle.threads && u.fds <= idle.fds; },
                    20s);
}

long long millis(std::chrono::steady_clock::duration d) {
  return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// The measured figures, for the record in the test log.
void report(const char* phase, const Usage& u, std::chrono::steady_clock::duration took) {
  std::printf("[ figures  ] %-10s threads %zu, fds %zu, rss %zu KiB, %lld ms\n", phase, u.threads,
              u.fds, u.rss_kib, millis(took));
}

TEST(Churn, ShortConnectionsAndAssociationsLeaveNothingBehind) {
  PollEchoServer tcp_upstream;
  UdpEchoServer udp_upstream;
  const int tcp_port = free_port();
  const int udp_port = free_port();
  RunningServer server(server_ini({{"t", "tcp", tcp_port, "127.0.0.1", tcp_upstream.port()},
                                   {"u", "udp", udp_port, "127.0.0.1", udp_upstream.port()}},
                                  5000, 1000));
  ASSERT_TRUE(server.started());
  Process& proc = server.process();
  const pid_t pid = proc.pid();
  const Usage idle = usage(pid);
  report("idle", idle, {});

  // Two halves: the first fills the caches of the allocator and the thread
  // library; the second must then leave memory where the first left it.
  auto begin = std::chrono::steady_clock::now();
  const int half = kTcpChurn / 2;
  ASSERT_EQ(tcp_churn(tcp_port, half, 90s), 0);
  ASSERT_TRUE(proc.wait_for_lines("relay ended", 2 * static_cast<size_t>(half), 60s));
  const Usage warm = settled(pid, idle);
  report("tcp half", warm, std::chrono::steady_clock::now() - begin);
  begin = std::chrono::steady_clock::now();
  ASSERT_EQ(tcp_churn(tcp_port, kTcpChurn - half, 90s), 0);
  ASSERT_TRUE(proc.wait_for_lines("relay ended", 2 * static_cast<size_t>(kTcpChurn), 60s));
  const Usage after_tcp = settled(pid, idle);
  report("tcp all", after_tcp, std::chrono::steady_clock::now() - begin);

  begin = std::chrono::steady_clock::now();
  ASSERT_EQ(udp_churn(udp_port, kUdpChurn), 0);
  const Usage peak = usage(pid);
  report("udp peak", peak, std::chrono::steady_clock::now() - begin);
  const Usage after_udp = settled(pid, idle);  // every association idles out after 1 s
  report("udp done", after_udp, std::chrono::steady_clock::now() - begin);

  EXPECT_EQ(after_tcp.threads, idle.threads);
  EXPECT_EQ(after_tcp.fds, idle.fds);
  EXPECT_EQ(after_udp.threads, idle.threads);
  EXPECT_EQ(after_udp.fds, idle.fds);
  EXPECT_EQ(proc.count_lines("relay ended"), 2 * static_cast<size_t>(kTcpChurn));
  EXPECT_EQ(proc.count_lines("[WARN]"), 0u);
  if (!kSanitized) {  // sanitizers keep freed memory in quarantine; their leak check covers it
    EXPECT_LE(after_tcp.rss_kib, warm.rss_kib + kRssGrowthKib);
    EXPECT_LE(after_udp.rss_kib, idle.rss_kib + kRssCeilingKib);
  }
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

  PollEchoServer upstream(upstream_port);
  Fd a = tcp_connect(port);
  Fd b = tcp_connect(port);
  EXPECT_TRUE(echoes(a.get(), "back a"));
  EXPECT_TRUE(echoes(b.get(), "back b"));
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
  Fd stalled(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  auto* sa = reinterpret_cast<sockaddr*>(&addr);
  ASSERT_EQ(::bind(stalled.get(), sa, len), 0);
  ASSERT_EQ(::listen(stalled.get(), 8), 0);
  ASSERT_EQ(::getsockname(stalled.get(), sa, &len), 0);
  const int port = free_port();
  RunningServer server(server_ini({{"g", "tcp", port, "127.0.0.1", ntohs(addr.sin_port)}}));
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
  constexpr int kConnections = kSanitized ? 16 : 40;
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
  EXPECT_LT(took, kSanitized ? 10s : 3s);
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
