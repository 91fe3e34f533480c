// Start-up, listeners and the stop sequence, through the real binary and
// through the library.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>

#include "gateway/gateway.h"
#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

// True when this process can bind the port itself (nobody else holds it).
bool can_bind(int type, int port) {
  Fd fd(::socket(AF_INET, type, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

Fd hold_tcp_port(int port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  EXPECT_EQ(::listen(fd.get(), 1), 0);
  return fd;
}

TEST(Lifecycle, TcpRouteAndDisabledRouteOpenOneListener) {
  const int port = free_port();
  const int disabled_port = free_port();
  RunningServer server(server_ini({{"game", "tcp", port, "127.0.0.1", 9, 0, true},
                                   {"off", "both", disabled_port, "127.0.0.1", 9, 0, false}}));
  ASSERT_TRUE(server.started());
  EXPECT_EQ(server.process().count_lines("server route "), 1u);
  EXPECT_EQ(server.process().count_lines("] listening 127.0.0.1:" + std::to_string(port) +
                                         " -> 127.0.0.1:9"),
            1u);
  EXPECT_TRUE(server.process().wait_for_line("[INFO] server route game [tcp] listening"));
  EXPECT_FALSE(can_bind(SOCK_STREAM, port));
  EXPECT_TRUE(can_bind(SOCK_DGRAM, port));
  EXPECT_TRUE(can_bind(SOCK_STREAM, disabled_port));
  EXPECT_TRUE(can_bind(SOCK_DGRAM, disabled_port));
}

TEST(Lifecycle, BothRouteOpensTcpAndUdpOnOnePort) {
  const int port = free_port();
  RunningServer server(server_ini({{"eu1", "both", port, "127.0.0.1", 9}}));
  ASSERT_TRUE(server.started());
  EXPECT_EQ(server.process().count_lines("server route eu1 [both] listening"), 1u);
  EXPECT_FALSE(can_bind(SOCK_STREAM, port));
  EXPECT_FALSE(can_bind(SOCK_DGRAM, port));
}

TEST(Lifecycle, ListenAddressMustBeIpv4Literal) {
  for (const std::string address : {"localhost", "::1", "127.1"}) {
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
  Fd holder = hold_tcp_port(taken);
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

TEST(Lifecycle, SignalsStopOnceWithStatusZero) {
  for (int signo : {SIGINT, SIGTERM}) {
    RunningServer server(server_ini({{"a", "both", free_port(), "127.0.0.1", 9}}));
    ASSERT_TRUE(server.started());
    server.process().signal(signo);
    server.process().signal(signo);  // a second request during shutdown changes nothing
    EXPECT_EQ(server.terminate(), 0);
    EXPECT_EQ(server.process().count_lines("[INFO] server stopped"), 1u);
    EXPECT_EQ(server.process().stderr_text(), "");
  }
}

TEST(Lifecycle, RestartRightAfterStopRebindsThePort) {
  const int port = free_port();
  const std::string ini = server_ini({{"a", "tcp", port, "127.0.0.1", 9, 1}});
  {
    RunningServer server(ini);
    ASSERT_TRUE(server.started());
    // The refused client is closed by the gateway first, leaving TIME_WAIT on the port.
    Fd held = tcp_connect(port);
    Fd refused = tcp_connect(port);
    EXPECT_TRUE(wait_closed(refused.get()));
    EXPECT_EQ(server.terminate(), 0);
  }
  RunningServer again(ini);
  EXPECT_TRUE(again.started()) << again.process().stderr_text();
}

// The library: start and stop act once, destruction stops a running gateway.
TEST(Lifecycle, StartAndStopActOnce) {
  ServerConfig config;
  config.listen_address = "127.0.0.1";
  ServerRoute route;
  route.name = "lib";
  route.listen_port = free_port();
  route.target_host = "127.0.0.1";
  route.target_port = 9;
  config.routes.push_back(route);
  {
    Gateway gateway(config);
    gateway.start();
    gateway.start();
    EXPECT_TRUE(gateway.running());
    EXPECT_FALSE(can_bind(SOCK_STREAM, route.listen_port));
    gateway.stop();
    gateway.stop();
    EXPECT_FALSE(gateway.running());
    EXPECT_FALSE(tcp_connect(route.listen_port));
  }
  {
    Gateway gateway(config);
    gateway.start();
    Fd client = tcp_connect(route.listen_port);
    ASSERT_TRUE(client);
  }  // destroyed while running, with a client connected
  EXPECT_FALSE(tcp_connect(route.listen_port));

  config.routes[0].listen_port = 0;
  EXPECT_THROW(Gateway{config}, std::runtime_error);
}

}  // namespace
}  // namespace tarnwicket::test
