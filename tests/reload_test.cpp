// SIGHUP reloads the configuration without cutting what is relayed; SIGQUIT
// drains: no new clients, and a stop once the last one has gone.

#include <sys/socket.h>

#include <atomic>
#include <csignal>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

std::string with_server_keys(std::string ini, const std::string& keys) {
  return ini.insert(ini.find('\n') + 1, keys);
}

bool udp_echoes(int fd, const std::string& text) {
  return udp_send(fd, text) && udp_recv(fd) == text;
}

class Reload : public RelayFixture {
 protected:
  // Writes the routes over the server's file, sends SIGHUP and waits for the
  // reload's outcome line.
  bool reload(const std::string& ini) {
    server().rewrite(ini);
    proc().signal(SIGHUP);
    return proc().wait_for_lines("configuration reload", ++reloads_);
  }
  bool reload(const std::vector<RouteSpec>& routes) { return reload(server_ini(routes)); }
  size_t summary(const std::string& counts) {
    return proc().count_lines("[INFO] configuration reloaded: " + counts);
  }

 private:
  size_t reloads_ = 0;
};

TEST_F(Reload, UnchangedRoutesKeepFlowingByteForByte) {
  ASSERT_TRUE(start({tcp_route(), udp_route()}));
  Fd tcp = tcp_connect(port_);
  Fd udp = udp_connect(udp_port_);
  std::atomic<int> rounds{0};
  std::atomic<bool> done{false};
  std::atomic<bool> intact{true};
  std::thread traffic([&] {
    for (int i = 0; !done && intact; rounds = ++i) {
      const std::string text = std::string(1000 + i % 100, static_cast<char>('a' + i % 26));
      intact = echoes(tcp.get(), text) && udp_echoes(udp.get(), text);
    }
  });
  const auto reaches = [&](int n) {
    return eventually([&] { return rounds.load(); }, [&](int r) { return r >= n || !intact; }) >= n;
  };
  EXPECT_TRUE(reaches(20));
  EXPECT_TRUE(reload(server_ini({tcp_route(), udp_route()}, 6000)));
  EXPECT_TRUE(reaches(rounds + 20));
  done = true;
  traffic.join();
  EXPECT_TRUE(intact);
  EXPECT_EQ(summary("0 added, 0 changed, 0 removed, 2 unchanged"), 1u);
  EXPECT_EQ(udp_upstream_.sender_ports().size(), 1u);  // one association throughout
}

TEST_F(Reload, ChangedTargetTakesNewClientsOldOneStays) {
  TcpUpstream other;
  ASSERT_TRUE(start({tcp_route()}));
  Fd old_client = tcp_connect(port_);
  ASSERT_TRUE(echoes(old_client.get(), "before"));
  RouteSpec moved = tcp_route();
  moved.target_port = other.port();
  ASSERT_TRUE(reload({moved}));
  EXPECT_EQ(summary("0 added, 1 changed, 0 removed, 0 unchanged"), 1u);
  Fd new_client = tcp_connect(port_);
  EXPECT_TRUE(echoes(new_client.get(), "new"));
  EXPECT_TRUE(echoes(old_client.get(), "old"));
  EXPECT_EQ(other.bytes_received(), 3u);
  EXPECT_EQ(tcp_upstream_.bytes_received(), 9u);
}

TEST_F(Reload, AddedRouteServes) {
  ASSERT_TRUE(start({tcp_route()}));
  const int port = free_port();
  ASSERT_TRUE(reload({tcp_route(), {"n", "tcp", port, "127.0.0.1", tcp_upstream_.port()}}));
  EXPECT_EQ(summary("1 added, 0 changed, 0 removed, 1 unchanged"), 1u);
  EXPECT_EQ(proc().count_lines("[INFO] server route n [tcp] listening 127.0.0.1:"), 1u);
  Fd client = tcp_connect(port);
  EXPECT_TRUE(echoes(client.get(), "hello"));
}

TEST_F(Reload, RemovedRouteRefusesNewClientsOpenOneGoesOn) {
  ASSERT_TRUE(start({tcp_route(), udp_route()}));
  Fd open = tcp_connect(port_);
  ASSERT_TRUE(echoes(open.get(), "before"));
  ASSERT_TRUE(reload({udp_route()}));
  EXPECT_EQ(summary("0 added, 0 changed, 1 removed, 1 unchanged"), 1u);
  EXPECT_FALSE(tcp_connect(port_));
  EXPECT_TRUE(echoes(open.get(), "after"));
  open.reset();
  EXPECT_TRUE(proc().wait_for_lines("route g relay ended", 2));
}

// Each failure keeps every listener, target and connection as it was and
// closes what the reload had opened.
TEST_F(Reload, FailedReloadLeavesEverythingServing) {
  TcpUpstream other;
  ASSERT_TRUE(start({tcp_route()}));
  Fd open = tcp_connect(port_);
  const int opened = free_port();
  int taken = 0;
  Fd holder = tcp_listener(0, &taken);
  RouteSpec moved = tcp_route();
  moved.target_port = other.port();
  const std::pair<std::string, std::string> cases[] = {
      {server_ini({moved}, 99), "server.connection_timeout_ms 必须在 100 到 300000 之间"},
      {server_ini({moved,
                   {"m", "tcp", opened, "127.0.0.1", other.port()},
                   {"n", "both", taken, "127.0.0.1", other.port()}}),
       "TCP 监听失败: n"},
  };
  for (const auto& [ini, message] : cases) {
    ASSERT_TRUE(reload(ini));
    EXPECT_EQ(proc().count_lines("[WARN] configuration reload failed: " + message), 1u);
    EXPECT_TRUE(echoes(open.get(), "still"));
    Fd fresh = tcp_connect(port_);
    EXPECT_TRUE(echoes(fresh.get(), "fresh"));
    EXPECT_TRUE(port_free(SOCK_STREAM, opened));
  }
  EXPECT_EQ(other.bytes_received(), 0u);
  EXPECT_EQ(proc().count_lines("configuration reloaded"), 0u);
}

// Both routes move to other ports and back, with a connection and an
// association on the old ports each time.
TEST_F(Reload, HundredReloadsWithTrafficLeaveThreadsAndDescriptorsIdle) {
  ASSERT_TRUE(start({tcp_route(), udp_route()}, 5000, 1000));  // the last association expires
  const RouteSpec home[] = {tcp_route(), udp_route()};
  RouteSpec away[] = {tcp_route(), udp_route()};
  away[0].listen_port = free_port();
  away[1].listen_port = free_port();
  Fd tcp = tcp_connect(port_);
  Fd udp = udp_connect(udp_port_);
  for (int i = 1; i <= 100; ++i) {
    const RouteSpec* next = i % 2 == 1 ? away : home;
    // Taken in and associated before the reload; the connection outlives its listener.
    ASSERT_TRUE(echoes(tcp.get(), "t") && udp_echoes(udp.get(), "u")) << i;
    ASSERT_TRUE(reload(server_ini({next[0], next[1]}, 5000, 1000)));
    ASSERT_TRUE(echoes(tcp.get(), "t")) << i;
    tcp = tcp_connect(next[0].listen_port);
    udp = udp_connect(next[1].listen_port);
  }
  EXPECT_TRUE(echoes(tcp.get(), "t") && udp_echoes(udp.get(), "u"));
  EXPECT_EQ(summary("0 added, 2 changed, 0 removed, 0 unchanged"), 100u);
  tcp.reset();
  udp.reset();
  EXPECT_TRUE(back_to_idle());
}

// Route g with one client relaying through it; the test sends SIGQUIT.
class Drain : public ::testing::Test {
 protected:
  bool start(const std::string& server_keys = "") {
    server_ = std::make_unique<RunningServer>(
        with_server_keys(server_ini({{"g", "tcp", port_, "127.0.0.1", upstream_.port()},
                                     {"u", "udp", udp_port_, "127.0.0.1", udp_upstream_.port()}},
                                    5000, 1000),
                         server_keys));
    client_ = tcp_connect(port_);
    return server_->started() && echoes(client_.get(), "before");
  }
  bool drain() {
    proc().signal(SIGQUIT);
    return proc().wait_for_line("[INFO] server draining");
  }
  Process& proc() { return server_->process(); }

  TcpUpstream upstream_;
  UdpEcho udp_upstream_;
  const int port_ = free_port();
  const int udp_port_ = free_port();
  std::unique_ptr<RunningServer> server_;
  Fd client_;
};

TEST_F(Drain, NewClientsRefusedExitAfterTheLastEnds) {
  ASSERT_TRUE(start());
  Fd udp = udp_connect(udp_port_);
  ASSERT_TRUE(udp_echoes(udp.get(), "a"));
  ASSERT_TRUE(drain());
  EXPECT_FALSE(tcp_connect(port_));
  EXPECT_TRUE(echoes(client_.get(), "during"));
  EXPECT_TRUE(udp_echoes(udp.get(), "b"));
  Fd new_udp = udp_connect(udp_port_);
  set_receive_timeout(new_udp.get(), 300ms);
  EXPECT_TRUE(udp_send(new_udp.get(), "c"));
  EXPECT_FALSE(udp_recv(new_udp.get()));
  EXPECT_EQ(proc().count_lines("server stopped"), 0u);
  client_.reset();  // the association ends after its idle time-out, 1 s
  EXPECT_EQ(proc().wait_exit(), 0);
  EXPECT_EQ(proc().count_lines("[INFO] server stopped"), 1u);
}

TEST_F(Drain, TimeOutStopsWithAClientLeft) {
  ASSERT_TRUE(start("drain_timeout_ms = 300\n"));
  ASSERT_TRUE(drain());
  EXPECT_EQ(proc().wait_exit(), 0);
  EXPECT_TRUE(wait_closed(client_.get()));
  EXPECT_EQ(proc().count_lines("[INFO] server stopped"), 1u);
}

TEST_F(Drain, SigtermStopsAtOnce) {
  ASSERT_TRUE(start());  // the default drain time-out, 30 s, is never reached
  ASSERT_TRUE(drain());
  proc().signal(SIGTERM);
  EXPECT_EQ(proc().wait_exit(5s), 0);
  EXPECT_EQ(proc().count_lines("[INFO] server stopped"), 1u);
}

TEST_F(Drain, ReadyzAnswersDraining) {
  const int admin = free_port();
  ASSERT_TRUE(start("admin_port = " + std::to_string(admin) + "\n"));
  const auto readyz = [&] {
    Fd fd = tcp_connect(admin);
    const std::string request = "GET /readyz HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";
    std::string out;
    char buffer[4096];
    if (!fd || !send_all(fd.get(), request.data(), request.size())) return out;
    for (ssize_t n; (n = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0;) {
      out.append(buffer, static_cast<size_t>(n));
    }
    return out;
  };
  EXPECT_EQ(readyz().rfind("HTTP/1.1 200 ", 0), 0u);
  ASSERT_TRUE(drain());
  const std::string answer = readyz();
  EXPECT_EQ(answer.rfind("HTTP/1.1 503 ", 0), 0u) << answer;
  EXPECT_TRUE(answer.ends_with("\r\n\r\ndraining\n")) << answer;
}

}  // namespace
}  // namespace tarnwicket::test
