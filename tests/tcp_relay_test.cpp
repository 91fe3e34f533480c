// The TCP relay through the real binary against upstreams of the test's own.

#include <gtest/gtest.h>
#include <sys/socket.h>

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

// Route g relays to an echo upstream, route r to one that resets each
// connection after four bytes.
TEST(TcpRelay, PayloadsAndResetsOnEitherSide) {
  TcpEchoServer upstream;
  TcpEchoServer resetting(4);
  const int port = free_port();
  const int reset_port = free_port();
  RunningServer server(server_ini({{"g", "tcp", port, "127.0.0.1", upstream.port()},
                                   {"r", "tcp", reset_port, "127.0.0.1", resetting.port()}}));
  ASSERT_TRUE(server.started());
  Process& proc = server.process();

  // 8 MB each way at once: the relay must not wait for one direction to finish.
  Fd client = tcp_connect(port);
  const std::string payload = random_bytes(8 << 20, 7);
  std::thread writer([&] { EXPECT_TRUE(send_all(client.get(), payload.data(), payload.size())); });
  const auto echoed = recv_exact(client.get(), payload.size());
  writer.join();
  EXPECT_TRUE(echoed == payload);
  client.reset();
  EXPECT_TRUE(proc.wait_for_line("[INFO] route g relay ended client->server"));
  EXPECT_TRUE(proc.wait_for_line("[INFO] route g relay ended server->client"));

  // Clients that close with RST while echoes are in flight leave the route serving.
  for (int i = 0; i < 5; ++i) {
    Fd reset = tcp_connect(port);
    const std::string chunk = random_bytes(1 << 20, static_cast<unsigned>(i));
    ASSERT_TRUE(send_all(reset.get(), chunk.data(), chunk.size()));
    const linger hard{1, 0};
    ::setsockopt(reset.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  EXPECT_TRUE(proc.wait_for_lines("route g relay ended", 12));
  Fd after = tcp_connect(port);
  EXPECT_TRUE(echoes(after.get(), "still here"));

  // An upstream reset ends the client at once.
  Fd victim = tcp_connect(reset_port);
  ASSERT_TRUE(send_all(victim.get(), "ping", 4));
  EXPECT_TRUE(wait_closed(victim.get()));
  EXPECT_TRUE(proc.wait_for_lines("route r relay ended", 2));
}

TEST(TcpRelay, RecoversFromDescriptorExhaustion) {
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
  EXPECT_TRUE(eventually([&] { return echoes(tcp_connect(tcp_port).get(), "late"); },
                         [](bool ok) { return ok; }));
}

}  // namespace
}  // namespace tarnwicket::test
