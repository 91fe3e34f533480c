// The TCP relay through the real binary against upstreams of the test's own.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>
#include <random>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

std::string random_bytes(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(gen());
  return data;
}

class TcpRelay : public ::testing::Test {
 protected:
  void start(int max_connections = 0, int timeout_ms = 5000, std::string target_host = "127.0.0.1",
             int target_port = -1, ProcessOptions options = {}) {
    port_ = free_port();
    if (target_port < 0) target_port = upstream_.port();
    server_ = std::make_unique<RunningServer>(
        server_ini({{"g", "tcp", port_, target_host, target_port, max_connections}}, timeout_ms),
        options);
    ASSERT_TRUE(server_->started());
  }
  Process& proc() { return server_->process(); }
  void expect_echo(int fd, const std::string& text) {
    ASSERT_TRUE(send_all(fd, text.data(), text.size()));
    EXPECT_EQ(recv_exact(fd, text.size()), text);
  }

  TcpEchoServer upstream_;
  int port_ = 0;
  std::unique_ptr<RunningServer> server_;
};

TEST_F(TcpRelay, LargePayloadBothWaysAtOnce) {
  start();
  Fd client = tcp_connect(port_);
  const std::string payload = random_bytes(8 << 20, 7);
  std::thread writer([&] { EXPECT_TRUE(send_all(client.get(), payload.data(), payload.size())); });
  const auto echoed = recv_exact(client.get(), payload.size());
  writer.join();
  ASSERT_TRUE(echoed.has_value());
  EXPECT_EQ(std::hash<std::string>{}(*echoed), std::hash<std::string>{}(payload));
  EXPECT_TRUE(*echoed == payload);
  client.reset();
  EXPECT_TRUE(proc().wait_for_line("[INFO] route g relay ended client->server"));
  EXPECT_TRUE(proc().wait_for_line("[INFO] route g relay ended server->client"));
}

TEST_F(TcpRelay, ConnectionLimitRefusesThenServesAgain) {
  start(1);
  Fd first = tcp_connect(port_);
  expect_echo(first.get(), "first");
  Fd second = tcp_connect(port_);
  EXPECT_TRUE(wait_closed(second.get()));
  EXPECT_TRUE(proc().wait_for_line("[WARN] connection limit reached on route g"));
  ::shutdown(first.get(), SHUT_WR);  // no half-close: the gateway ends both directions
  EXPECT_TRUE(wait_closed(first.get()));
  // The slot comes back a moment after the close: a later client is served.
  const bool served = eventually(
      [&] {
        Fd third = tcp_connect(port_);
        return send_all(third.get(), "3", 1) && recv_exact(third.get(), 1) == "3";
      },
      [](bool ok) { return ok; });
  EXPECT_TRUE(served);
}

TEST_F(TcpRelay, UnresolvableTargetClosesAndFreesTheSlot) {
  start(1, 5000, "no-such-host.invalid", 7000);
  for (int i = 0; i < 2; ++i) {
    Fd client = tcp_connect(port_);
    EXPECT_TRUE(wait_closed(client.get()));
  }
  EXPECT_TRUE(proc().wait_for_lines("[WARN] route g connection closed: 解析 TCP 上游地址失败", 2));
  EXPECT_EQ(proc().count_lines("connection limit reached"), 0u);
}

TEST_F(TcpRelay, RefusedUpstreamPortIsReported) {
  const int dead_port = free_port();
  start(1, 5000, "127.0.0.1", dead_port);
  Fd client = tcp_connect(port_);
  EXPECT_TRUE(wait_closed(client.get()));
  EXPECT_TRUE(
      proc().wait_for_line("[WARN] route g connection closed: 连接 TCP 上游失败 127.0.0.1:" +
                           std::to_string(dead_port)));
}

TEST_F(TcpRelay, IdleClientTimesOut) {
  start(0, 300);
  Fd client = tcp_connect(port_);
  expect_echo(client.get(), "hi");
  EXPECT_TRUE(wait_closed(client.get()));
  EXPECT_TRUE(proc().wait_for_line("relay ended client->server"));
  EXPECT_TRUE(proc().wait_for_line("relay ended server->client"));
}

TEST_F(TcpRelay, UpstreamResetEndsTheClientAtOnce) {
  TcpEchoServer resetting(4);
  start(0, 5000, "127.0.0.1", resetting.port());
  Fd client = tcp_connect(port_);
  ASSERT_TRUE(send_all(client.get(), "ping", 4));
  EXPECT_TRUE(wait_closed(client.get()));
  EXPECT_TRUE(proc().wait_for_lines("relay ended", 2));
}

TEST_F(TcpRelay, ClientResetMidTransferLeavesTheServerServing) {
  start();
  for (int i = 0; i < 5; ++i) {
    Fd client = tcp_connect(port_);
    const std::string chunk = random_bytes(1 << 20, static_cast<unsigned>(i));
    ASSERT_TRUE(send_all(client.get(), chunk.data(), chunk.size()));
    linger hard{1, 0};
    ::setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }  // closed with RST while echoes are in flight
  EXPECT_TRUE(proc().wait_for_lines("relay ended", 10));
  Fd client = tcp_connect(port_);
  expect_echo(client.get(), "still here");
}

TEST_F(TcpRelay, StopEndsRunningConnectionsFirst) {
  start();
  std::vector<Fd> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(tcp_connect(port_));
    expect_echo(clients.back().get(), "x");
  }
  EXPECT_EQ(server_->terminate(), 0);
  const auto lines = proc().stdout_lines();
  size_t ended = 0;
  for (const auto& line : lines) {
    if (line.find("relay ended") != std::string::npos) ++ended;
    if (line.find("server stopped") != std::string::npos) {
      EXPECT_EQ(ended, 6u);
    }
  }
  EXPECT_EQ(ended, 6u);
  EXPECT_EQ(proc().count_lines("accept failed"), 0u);
  for (auto& c : clients) EXPECT_TRUE(wait_closed(c.get()));
}

TEST_F(TcpRelay, FinishedConnectionsGiveTheirThreadsBack) {
  start();
  const pid_t pid = proc().pid();
  const size_t idle = thread_count(pid);
  for (int i = 0; i < 1000; ++i) {
    Fd client = tcp_connect(port_);
    expect_echo(client.get(), "!");
  }
  EXPECT_TRUE(proc().wait_for_lines("relay ended", 2000, 30s));
  EXPECT_EQ(eventually([&] { return thread_count(pid); }, [&](size_t n) { return n <= idle; }),
            idle);
}

TEST(TcpRelayLimits, RecoversFromDescriptorExhaustion) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer runtime probes memory through a pipe, which cannot be made
  // without a free descriptor, and then reports errors that are not there.
  GTEST_SKIP() << "not meaningful under AddressSanitizer/UndefinedBehaviorSanitizer";
#endif
  // UDP associations hold exactly one descriptor each: fill the process's
  // table with them, then a TCP client finds accept failing until they expire.
  TcpEchoServer tcp_upstream;
  UdpEchoServer udp_upstream;
  const int tcp_port = free_port();
  const int udp_port = free_port();
  ProcessOptions options;
  options.nofile_limit = 48;
  RunningServer server(server_ini({{"t", "tcp", tcp_port, "127.0.0.1", tcp_upstream.port()},
                                   {"u", "udp", udp_port, "127.0.0.1", udp_upstream.port()}},
                                  5000, 1000),
                       options);
  ASSERT_TRUE(server.started());
  std::vector<Fd> udp_clients;
  for (int i = 0; i < 48 && server.process().count_lines("packet failed") == 0; ++i) {
    udp_clients.push_back(udp_socket());
    ASSERT_TRUE(udp_send(udp_clients.back().get(), udp_port, "fill"));
    udp_recv(udp_clients.back().get(), 500ms);
  }
  ASSERT_TRUE(server.process().wait_for_line("[WARN] UDP route u packet failed: "));
  // A blocked accept already holds a descriptor; the one after it finds none.
  std::vector<Fd> tcp_clients;
  for (int i = 0;
       i < 50 && !server.process().wait_for_line("[WARN] accept failed on route t", 100ms); ++i) {
    tcp_clients.push_back(tcp_connect(tcp_port));
  }
  EXPECT_TRUE(server.process().wait_for_line("[WARN] accept failed on route t"));
  // Once the associations time out, the route serves clients again.
  const bool served = eventually(
      [&] {
        Fd client = tcp_connect(tcp_port);
        return send_all(client.get(), "late", 4) && recv_exact(client.get(), 4) == "late";
      },
      [](bool ok) { return ok; });
  EXPECT_TRUE(served);
}

}  // namespace
}  // namespace tarnwicket::test
