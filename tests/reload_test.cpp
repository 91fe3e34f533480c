// SIGHUP reloads the configuration without cutting what is relayed; SIGQUIT
// drains: no new clients, and a stop once the last one has gone.

#include <sys/socket.h>

#include <csignal>
#include <utility>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

class Reload : public RelayFixture {
 protected:
  using RelayFixture::reload;
  bool reload(const std::vector<RouteSpec>& routes) { return reload(server_ini(routes)); }
  size_t summary(const std::string& counts) {
    return proc().count_lines("[INFO] configuration reloaded: " + counts);
  }
};

TEST_P(Reload, UnchangedRoutesKeepFlowingByteForByte) {
  ASSERT_TRUE(start({tcp_route(), udp_route()}));
  Fd tcp = tcp_connect(port_), udp = udp_connect(udp_port_);
  rewrite(server_ini({tcp_route(), udp_route()}, 6000));
  // The reload is asked for after 20 rounds of traffic, which goes on until
  // 20 rounds after its outcome line.
  const auto until = std::chrono::steady_clock::now() + scaled(20s);
  for (int i = 0, after = 0; after < 20; ++i) {
    ASSERT_TRUE(i < 10000 && std::chrono::steady_clock::now() < until) << "no reload";
    if (i == 20) proc().signal(SIGHUP);
    const std::string text(1000 + i % 100, static_cast<char>('a' + i % 26));
    for (const Fd* client : {&tcp, &udp}) ASSERT_TRUE(echoes(client->get(), text)) << "round " << i;
    if (proc().count_lines("configuration reload") > 0) ++after;
  }
  EXPECT_EQ(summary("0 added, 0 changed, 0 removed, 2 unchanged"), 1u);
  EXPECT_EQ(udp_upstream_.sender_ports().size(), 1u);  // one association throughout
}

TEST_P(Reload, ChangedTargetTakesNewClientsOldOneStays) {
  TcpUpstream other;
  ASSERT_TRUE(start({tcp_route()}));
  Fd old_client = tcp_connect(port_);
  ASSERT_TRUE(echoes(old_client.get(), "before"));
  ASSERT_TRUE(reload({{"g", "tcp", port_, "127.0.0.1", other.port()}}));
  EXPECT_EQ(summary("0 added, 1 changed, 0 removed, 0 unchanged"), 1u);
  EXPECT_TRUE(echoes(tcp_connect(port_).get(), "new"));
  EXPECT_TRUE(echoes(old_client.get(), "old"));
  EXPECT_EQ(other.bytes_received(), 3u);
  EXPECT_EQ(tcp_upstream_.bytes_received(), 9u);
}

TEST_P(Reload, AddedRouteServes) {
  ASSERT_TRUE(start({tcp_route()}));
  const int port = free_port();
  ASSERT_TRUE(reload({tcp_route(), {"n", "tcp", port, "127.0.0.1", tcp_upstream_.port()}}));
  EXPECT_EQ(summary("1 added, 0 changed, 0 removed, 1 unchanged"), 1u);
  EXPECT_EQ(proc().count_lines("[INFO] server route n [tcp] listening 127.0.0.1:"), 1u);
  EXPECT_TRUE(echoes(tcp_connect(port).get(), "hello"));
}

TEST_P(Reload, RemovedRouteRefusesNewClientsOpenOneGoesOn) {
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

// After the summary, one line per route that the reload added, changed or removed.
TEST_P(Reload, EveryChangedRouteHasItsLine) {
  ASSERT_TRUE(start({tcp_route(), udp_route()}));
  RouteSpec changed = tcp_route();
  changed.target_port = free_port();
  ASSERT_TRUE(reload({changed, {"n", "tcp", free_port(), "127.0.0.1", 9}}));
  EXPECT_EQ(summary("1 added, 1 changed, 1 removed, 0 unchanged"), 1u);
  EXPECT_TRUE(proc().wait_for_line("[INFO] route g changed"));
  EXPECT_TRUE(proc().wait_for_line("[INFO] route n added"));
  EXPECT_TRUE(proc().wait_for_line("[INFO] route u removed"));
}

// Each failure keeps every listener, target and connection as it was and
// closes what the reload had opened.
TEST_P(Reload, FailedReloadLeavesEverythingServing) {
  TcpUpstream other;
  ASSERT_TRUE(start({tcp_route()}));
  Fd open = tcp_connect(port_);
  int taken = 0;
  const Fd holder = tcp_listener(0, &taken);
  const int opened = free_port();
  const RouteSpec moved{"g", "tcp", port_, "127.0.0.1", other.port()};
  const std::pair<std::string, std::string> cases[] = {
      {server_ini({moved}, 99), "server.connection_timeout_ms 必须在 100 到 300000 之间"},
      {server_ini(
           {moved, {"m", "tcp", opened, "127.0.0.1", 9}, {"n", "both", taken, "127.0.0.1", 9}}),
       "TCP 监听失败: n"},
  };
  for (const auto& [ini, message] : cases) {
    ASSERT_TRUE(reload(ini));
    EXPECT_EQ(proc().count_lines("[WARN] configuration reload failed: " + message), 1u);
    EXPECT_TRUE(echoes(open.get(), "still"));
    EXPECT_TRUE(echoes(tcp_connect(port_).get(), "fresh"));
    EXPECT_TRUE(port_free(SOCK_STREAM, opened));
  }
  EXPECT_EQ(other.bytes_received(), 0u);
  EXPECT_EQ(proc().count_lines("configuration reloaded"), 0u);
}

// Between a host address and the wildcards on the same ports: the new
// listeners take the ports over; connections taken in before go on.
TEST_P(Reload, ListenAddressMovesOnTheSamePorts) {
  ASSERT_TRUE(start({tcp_route(), udp_route()}));
  Fd before = tcp_connect(port_);
  // Taken off the backlog first, which the old listener's close would reset.
  ASSERT_TRUE(echoes(before.get(), "accepted"));
  for (const char* address : {"0.0.0.0", "::", "127.0.0.1"}) {
    ASSERT_TRUE(reload(server_ini({tcp_route(), udp_route()}, 5000, 60000, address))) << address;
    EXPECT_TRUE(echoes(before.get(), "old")) << address;
    EXPECT_TRUE(echoes(tcp_connect(port_).get(), "tcp")) << address;
    EXPECT_TRUE(echoes(udp_connect(udp_port_).get(), "udp")) << address;
  }
  EXPECT_EQ(summary("0 added, 2 changed, 0 removed, 0 unchanged"), 3u);
  EXPECT_EQ(proc().count_lines("configuration reload failed"), 0u);
}

// Two routes trade ports in one reload: each closes just before the other opens.
TEST_P(Reload, RoutesTradePortsInOneReload) {
  RouteSpec a = tcp_route(), b = tcp_route();
  b.name = "h";
  b.listen_port = free_port();
  ASSERT_TRUE(start({a, b}));
  std::swap(a.listen_port, b.listen_port);
  ASSERT_TRUE(reload({a, b}));
  EXPECT_EQ(summary("0 added, 2 changed, 0 removed, 0 unchanged"), 1u);
  EXPECT_TRUE(echoes(tcp_connect(a.listen_port).get(), "moved"));
}

// The admin listener is where it was after every failed reload, whichever
// step failed; the port it was to move to is free again.
TEST_P(Reload, AdminListenerSurvivesEveryFailedReload) {
  const int admin = free_port(), other = free_port();
  int taken = 0;
  const Fd holder = tcp_listener(0, &taken);
  const auto keys = [](int port, const char* address) {
    return "admin_port = " + std::to_string(port) + "\nadmin_address = " + address + "\n";
  };
  ASSERT_TRUE(start({tcp_route()}, 5000, 60000, {}, "127.0.0.1", keys(admin, "127.0.0.1")));
  const RouteSpec blocked{"n", "tcp", taken, "127.0.0.1", 9};
  const std::pair<std::vector<RouteSpec>, std::string> cases[] = {
      {{tcp_route()}, keys(taken, "127.0.0.1")},           // the new admin port is taken
      {{tcp_route(), blocked}, keys(other, "127.0.0.1")},  // a route fails after the move
      {{tcp_route(), blocked}, keys(admin, "127.0.0.2")},  // the same port, another address
  };
  for (const auto& [routes, admin_keys] : cases) {
    ASSERT_TRUE(reload(server_ini(routes, 5000, 60000, "127.0.0.1", admin_keys)));
    EXPECT_TRUE(http_request(admin, "GET /healthz").starts_with("HTTP/1.1 200 ")) << admin_keys;
    EXPECT_TRUE(port_free(SOCK_STREAM, other)) << admin_keys;
  }
  EXPECT_EQ(proc().count_lines("configuration reload failed"), 3u);
  EXPECT_EQ(proc().count_lines("configuration rollback failed"), 0u);
}

// Two sections name the same route: a reload that removes one ends exactly
// that one, and one that moves the other leaves no thread on a retired record.
TEST_P(Reload, RoutesSharingANameEndOneAtATime) {
  RouteSpec twin = tcp_route();
  twin.name = " g";
  twin.listen_port = free_port();
  ASSERT_TRUE(start({tcp_route(), twin}));
  Fd on_twin = tcp_connect(twin.listen_port);
  ASSERT_TRUE(echoes(on_twin.get(), "before"));
  ASSERT_TRUE(reload({twin}));
  EXPECT_EQ(summary("0 added, 0 changed, 1 removed, 1 unchanged"), 1u);
  EXPECT_FALSE(tcp_connect(port_));
  EXPECT_TRUE(echoes(tcp_connect(twin.listen_port).get(), "kept"));
  twin.listen_port = port_;
  ASSERT_TRUE(reload({twin}));
  EXPECT_TRUE(echoes(on_twin.get(), "after"));
  on_twin.reset();
  EXPECT_TRUE(stops_within(10s));
}

// Both routes move to other ports and back, with a connection and an
// association on the old ports each time.
TEST_P(Reload, HundredReloadsWithTrafficLeaveThreadsAndDescriptorsIdle) {
  ASSERT_TRUE(start({tcp_route(), udp_route()}, 5000, 1000));  // the last association expires
  RouteSpec routes[] = {tcp_route(), udp_route()};
  int other_ports[] = {free_port(), free_port()};
  Fd tcp = tcp_connect(port_), udp = udp_connect(udp_port_);
  for (int i = 1; i <= 100; ++i) {
    // Taken in and associated before the reload; the connection outlives its listener.
    for (const Fd* client : {&tcp, &udp}) ASSERT_TRUE(echoes(client->get(), "t")) << i;
    for (const int r : {0, 1}) std::swap(routes[r].listen_port, other_ports[r]);
    ASSERT_TRUE(reload(server_ini({routes[0], routes[1]}, 5000, 1000)));
    ASSERT_TRUE(echoes(tcp.get(), "t")) << i;
    tcp = tcp_connect(routes[0].listen_port);
    udp = udp_connect(routes[1].listen_port);
  }
  EXPECT_EQ(summary("0 added, 2 changed, 0 removed, 0 unchanged"), 100u);
  tcp.reset();
  udp.reset();
  EXPECT_TRUE(back_to_idle());
}

// Routes g and u (whose associations end after 1 s) with one client relaying
// through g; the test sends SIGQUIT.
class Drain : public RelayFixture {
 protected:
  bool start_relaying(const std::string& server_keys = "") {
    const bool started =
        start({tcp_route(), udp_route()}, 5000, 1000, {}, "127.0.0.1", server_keys);
    client_ = tcp_connect(port_);
    return started && echoes(client_.get(), "before");
  }
  bool drain() {
    proc().signal(SIGQUIT);
    return proc().wait_for_line("[INFO] server draining");
  }
  Fd client_;
};

TEST_P(Drain, NewClientsRefusedExitAfterTheLastEnds) {
  ASSERT_TRUE(start_relaying());
  Fd udp = udp_connect(udp_port_);
  ASSERT_TRUE(echoes(udp.get(), "a"));
  ASSERT_TRUE(drain());
  EXPECT_FALSE(tcp_connect(port_));
  for (const Fd* client : {&client_, &udp}) EXPECT_TRUE(echoes(client->get(), "during"));
  Fd new_udp = udp_connect(udp_port_);
  set_receive_timeout(new_udp.get(), scaled(300ms));
  ASSERT_TRUE(udp_send(new_udp.get(), "c"));
  EXPECT_FALSE(udp_recv(new_udp.get()));  // not answered
  EXPECT_EQ(proc().count_lines("server stopped"), 0u);
  client_.reset();  // the association ends after its idle time-out, 1 s
  EXPECT_EQ(proc().wait_exit(), 0);
  EXPECT_EQ(proc().count_lines("[INFO] server stopped"), 1u);
}

TEST_P(Drain, TimeOutStopsWithAClientLeft) {
  ASSERT_TRUE(start_relaying("drain_timeout_ms = 300\n"));
  ASSERT_TRUE(drain());
  EXPECT_EQ(proc().wait_exit(), 0);
  EXPECT_TRUE(wait_closed(client_.get()));
  const std::string out = proc().stdout_text();
  const auto cut = out.find("[WARN] drain timed out: 1 TCP connections and 0 UDP associations cut");
  EXPECT_NE(cut, std::string::npos);
  EXPECT_LT(cut, out.find("[INFO] server stopped"));
}

TEST_P(Drain, SigtermStopsAtOnce) {
  ASSERT_TRUE(start_relaying());  // the default drain time-out, 30 s, is never reached
  ASSERT_TRUE(drain());
  EXPECT_TRUE(stops_within(5s));
  EXPECT_EQ(proc().count_lines("[INFO] server stopped"), 1u);
}

TEST_P(Drain, ReadyzAnswersDraining) {
  const int admin = free_port();
  ASSERT_TRUE(start_relaying("admin_port = " + std::to_string(admin) + "\n"));
  EXPECT_TRUE(http_request(admin, "GET /readyz").starts_with("HTTP/1.1 200 "));
  ASSERT_TRUE(drain());
  const std::string answer = http_request(admin, "GET /readyz");
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 503 ")) << answer;
  EXPECT_TRUE(answer.ends_with("\r\n\r\ndraining\n")) << answer;
  EXPECT_NE(http_request(admin, "GET /metrics").find("\ntarnwicket_draining 1\n"),
            std::string::npos);
}

TARNWICKET_ON_BOTH_ENGINES(Reload);
TARNWICKET_ON_BOTH_ENGINES(Drain);

}  // namespace
}  // namespace tarnwicket::test
