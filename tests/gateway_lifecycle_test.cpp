// Start-up, listeners and the stop sequence, through the real binary and
// through the library.

#include <sys/socket.h>

#include <csignal>

#include "gateway/gateway.h"
#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

TEST(Lifecycle, OneListenerPerProtocolOfEachEnabledRoute) {
  const int tcp = free_port();
  const int both = free_port();
  const int disabled = free_port();
  RunningServer server(server_ini({{"game", "tcp", tcp, "127.0.0.1", 9, 1},
                                   {"eu1", "both", both, "127.0.0.1", 9},
                                   {"off", "both", disabled, "127.0.0.1", 9, 0, false}}));
  ASSERT_TRUE(server.started());
  Process& proc = server.process();
  EXPECT_EQ(proc.count_lines("server route "), 2u);
  EXPECT_EQ(proc.count_lines("[INFO] server route game [tcp] listening 127.0.0.1:" +
                             std::to_string(tcp) + " -> 127.0.0.1:9"),
            1u);
  EXPECT_EQ(proc.count_lines("server route eu1 [both] listening"), 1u);
  EXPECT_FALSE(port_free(SOCK_STREAM, tcp));
  EXPECT_TRUE(port_free(SOCK_DGRAM, tcp));
  EXPECT_FALSE(port_free(SOCK_STREAM, both));
  EXPECT_FALSE(port_free(SOCK_DGRAM, both));
  EXPECT_TRUE(port_free(SOCK_STREAM, disabled));
  EXPECT_TRUE(port_free(SOCK_DGRAM, disabled));
}

// Either signal, even sent twice, stops once with status 0. The second round
// binds the same port right after the first, with connections of the first in
// TIME_WAIT on it.
TEST(Lifecycle, EitherSignalStopsOnceAndThePortBindsAgain) {
  const int port = free_port();
  for (int signo : {SIGINT, SIGTERM}) {
    RunningServer server(server_ini({{"game", "tcp", port, "127.0.0.1", 9, 1}}));
    ASSERT_TRUE(server.started()) << server.process().stderr_text();
    Process& proc = server.process();
    // The gateway closes these clients first, which leaves TIME_WAIT on its port.
    Fd held = tcp_connect(port);
    EXPECT_TRUE(wait_closed(tcp_connect(port).get()));
    proc.signal(signo);
    proc.signal(signo);  // a second request during shutdown changes nothing
    EXPECT_EQ(server.terminate(), 0);
    EXPECT_EQ(proc.count_lines("[INFO] server stopped"), 1u);
    EXPECT_EQ(proc.stderr_text(), "");
  }
}

TEST(Lifecycle, ListenAddressMustBeIpLiteral) {
  for (const std::string address : {"localhost", "[::1]", "127.1"}) {
    TempDir dir;
    const auto path =
        dir.write("server.ini",
                  server_ini({{"a", "tcp", free_port(), "127.0.0.1", 9}}, 5000, 60000, address));
    RunResult r = run(server_binary(), {"--config", path.string()});
    EXPECT_EQ(r.status, 1) << address;
    EXPECT_EQ(r.out, "") << address;
    EXPECT_EQ(r.err,
              "server startup failed: listen_address 目前只支持 IPv4 地址: " + address + "\n");
  }
}

TEST(Lifecycle, TakenPortStopsWhatWasOpened) {
  const int first = free_port();
  const int taken = free_port();
  Fd holder = tcp_listener(taken);
  ASSERT_TRUE(holder);
  TempDir dir;
  const auto path = dir.write("server.ini", server_ini({{"a", "udp", first, "127.0.0.1", 9},
                                                        {"b", "tcp", taken, "127.0.0.1", 9}}));
  RunResult r = run(server_binary(), {"--config", path.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "server startup failed: TCP 监听失败: b\n");
  EXPECT_NE(r.out.find("server route a [udp] listening"), std::string::npos);
  EXPECT_NE(r.out.find("[INFO] server stopped\n"), std::string::npos);
  EXPECT_EQ(r.out.find("server route b"), std::string::npos);
  EXPECT_EQ(r.out.find("server started"), std::string::npos);
}

// The library, on one TCP route.
ServerConfig one_route(int port) {
  ServerRoute route;
  route.name = "lib";
  route.listen_port = port;
  route.target_host = "127.0.0.1";
  route.target_port = 9;
  ServerConfig config;
  config.listen_address = "127.0.0.1";
  config.routes = {route};
  return config;
}

TEST(Lifecycle, StartAndStopActOnce) {
  const int port = free_port();
  Gateway gateway(one_route(port));
  gateway.start();
  gateway.start();
  EXPECT_TRUE(gateway.running());
  EXPECT_FALSE(port_free(SOCK_STREAM, port));
  gateway.stop();
  gateway.stop();
  EXPECT_FALSE(gateway.running());
  EXPECT_FALSE(tcp_connect(port));
}

TEST(Lifecycle, DestroyingARunningGatewayStopsIt) {
  const int port = free_port();
  {
    Gateway gateway(one_route(port));
    gateway.start();
    Fd client = tcp_connect(port);
    ASSERT_TRUE(client);
  }
  EXPECT_FALSE(tcp_connect(port));
}

TEST(Lifecycle, GatewayRefusesAnInvalidRoute) {
  EXPECT_THROW(Gateway{one_route(0)}, std::runtime_error);
}

}  // namespace
}  // namespace tarnwicket::test
