// Transparent routes in network namespaces of the test's own: what the game
// server sees of a player, and that its replies still reach the player. Then
// the capability the start needs, and a route's own time-outs.

#include <sys/socket.h>

#include "support/gateway_fixture.h"
#include "support/netns.h"

namespace tarnwicket::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::string_literals;

class Transparent : public RelayFixture {
 protected:
  void SetUp() override {
    if (!lab_.failure().empty()) GTEST_SKIP() << lab_.failure();
  }
  // The gateway's route t to the game server, inside the gateway's namespace.
  bool start_route(const char* protocol, int upstream_port, const std::string& extra) {
    return start({{"t", protocol, port_, NetnsLab::kServer, upstream_port, 0, true, extra}}, 5000,
                 60000, lab_.gateway_options(), NetnsLab::kGateway);
  }
  // What the game server sees of a TCP client that sends `hello`, and
  // whether its answer reached that client.
  std::string tcp_view(const std::string& extra, const std::string& hello = "") {
    Fd listener = lab_.game_server(SOCK_STREAM);
    EXPECT_TRUE(start_route("tcp", local_port(listener.get()), extra));
    Fd client = lab_.client(SOCK_STREAM, port_);
    EXPECT_TRUE(send_all(client.get(), hello.data(), hello.size()));
    EXPECT_TRUE(send_all(client.get(), "ping", 4));
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof peer;
    Fd upstream(::accept(listener.get(), reinterpret_cast<sockaddr*>(&peer), &peer_len));
    set_receive_timeout(upstream.get(), 10s);
    EXPECT_EQ(recv_exact(upstream.get(), 4), "ping");
    EXPECT_TRUE(send_all(upstream.get(), "pong", 4));
    EXPECT_EQ(recv_exact(client.get(), 4), "pong");
    client.reset();
    EXPECT_TRUE(proc().wait_for_line("[INFO] route t relay ended client->server"));
    EXPECT_TRUE(proc().wait_for_line("[INFO] route t relay ended server->client"));
    return address_text(peer).substr(0, address_text(peer).find(':'));
  }

  NetnsLab lab_;
};

TEST_P(Transparent, PlainTcpUpstreamSeesTheGateway) {
  EXPECT_EQ(tcp_view(""), NetnsLab::kGatewayUp);
}

TEST_P(Transparent, TcpUpstreamSeesTheClientsAddress) {
  EXPECT_EQ(tcp_view("transparent = on\n"), NetnsLab::kClient);
}

// The balancer's client, who is not on any link of the gateway: its replies
// come back through the gateway all the same.
TEST_P(Transparent, BehindProxyHeaderUpstreamSeesTheHeadersAddress) {
  const std::string v2 =
      "\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0c\xc6\x33\x64\x07\x0a\xc9\x01\x01"
      "\x11\x22\x1b\x58"s;  // 198.51.100.7:4386 to 10.201.1.1:7000
  EXPECT_EQ(tcp_view("transparent = on\naccept_proxy_protocol = on\n"
                     "trusted_proxies = 10.201.1.0/24\n",
                     v2),
            "198.51.100.7");
}

// The association leaves from the client's address and port; it ends at the
// route's own idle time-out like a plain one, well before the server's 60 s.
TEST_P(Transparent, UdpUpstreamSeesTheClientsAddressAndPort) {
  Fd game = lab_.game_server(SOCK_DGRAM);
  ASSERT_TRUE(
      start_route("udp", local_port(game.get()), "transparent = on\nudp_idle_timeout_ms = 1000\n"));
  Fd client = lab_.client(SOCK_DGRAM, port_);
  ASSERT_TRUE(udp_send(client.get(), "ping"));
  char buffer[16];
  sockaddr_storage peer{};
  socklen_t peer_len = sizeof peer;
  const ssize_t n = ::recvfrom(game.get(), buffer, sizeof buffer, 0,
                               reinterpret_cast<sockaddr*>(&peer), &peer_len);
  ASSERT_EQ(n, 4);
  EXPECT_EQ(address_text(peer),
            std::string(NetnsLab::kClient) + ":" + std::to_string(local_port(client.get())));
  ASSERT_EQ(::sendto(game.get(), "pong", 4, 0, reinterpret_cast<sockaddr*>(&peer), peer_len), 4);
  EXPECT_EQ(udp_recv(client.get()), "pong");
  EXPECT_TRUE(back_to_idle(5s));
}

TARNWICKET_ON_BOTH_ENGINES(Transparent);

// The server runs without CAP_NET_ADMIN (nor CAP_NET_RAW, which also allows
// transparent sockets), in the test's own namespace: no namespaces needed.
class TransparentCapability : public RelayFixture {
 protected:
  ProcessOptions without_capability() const {
    return {.wrapper = {"setpriv", "--inh-caps=-all", "--bounding-set=-net_admin,-net_raw"}};
  }
};

TEST_P(TransparentCapability, StartFailsWithoutIt) {
  RouteSpec route = tcp_route();
  route.extra = "transparent = yes\n";
  TempDir dir;
  const RunResult result =
      run(server_binary(),
          {"--config", dir.write("server.ini", on_engine(server_ini({udp_route(), route})))},
          without_capability());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "server startup failed: 线路 g 无法使用 transparent: 需要 CAP_NET_ADMIN\n");
  EXPECT_EQ(result.out.find("server started"), std::string::npos) << result.out;
}

TEST_P(TransparentCapability, ReloadTurningItOnFailsAndChangesNothing) {
  ASSERT_TRUE(start({tcp_route()}, 5000, 60000, without_capability()));
  RouteSpec route = tcp_route();
  route.extra = "transparent = yes\n";
  ASSERT_TRUE(reload(server_ini({route})));
  EXPECT_EQ(proc().count_lines(
                "configuration reload failed: 线路 g 无法使用 transparent: 需要 CAP_NET_ADMIN"),
            1u);
  Fd client = tcp_connect(port_);
  EXPECT_TRUE(echoes(client.get(), "still relayed"));
}

TARNWICKET_ON_BOTH_ENGINES(TransparentCapability);

class RouteTimeouts : public RelayFixture {};

// Each idle client is cut at its route's time-out, not at the server's.
TEST_P(RouteTimeouts, EachRouteCutsIdleClientsAtItsOwn) {
  RouteSpec quick = tcp_route(), slow = tcp_route();
  quick.extra = "connection_timeout_ms = 300\n";
  slow.name = "s";
  slow.listen_port = free_port();
  slow.extra = "connection_timeout_ms = 2000\n";
  ASSERT_TRUE(start({quick, slow}, 10000));
  const auto begin = Clock::now();
  Fd quick_client = tcp_connect(port_), slow_client = tcp_connect(slow.listen_port);
  EXPECT_TRUE(echoes(quick_client.get(), "a") && echoes(slow_client.get(), "b"));
  EXPECT_TRUE(wait_closed(quick_client.get()));
  const auto quick_cut = Clock::now() - begin;
  EXPECT_TRUE(wait_closed(slow_client.get()));
  const auto slow_cut = Clock::now() - begin;
  EXPECT_GE(quick_cut, 300ms);
  EXPECT_LT(quick_cut, 1500ms);
  EXPECT_GE(slow_cut, 2000ms);
  EXPECT_LT(slow_cut, 5000ms);
}

TARNWICKET_ON_BOTH_ENGINES(RouteTimeouts);

}  // namespace
}  // namespace tarnwicket::test
