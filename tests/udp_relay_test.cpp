// The UDP relay through the real binary against upstreams of the test's own.

#include <gtest/gtest.h>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

// Sends `data` to the gateway's port and expects it back whole from that port.
void expect_echo(int fd, int port, const std::string& data) {
  ASSERT_TRUE(udp_send(fd, port, data));
  int from = 0;
  EXPECT_EQ(udp_recv(fd, 5s, &from), data);
  EXPECT_EQ(from, port);
}

// Route u relays freely, l admits one association, x has a target that does
// not resolve.
TEST(UdpRelay, AssociationsLimitsDatagramsAndStop) {
  UdpEchoServer upstream;
  UdpEchoServer limited_upstream;
  const int port = free_port();
  const int limited = free_port();
  const int lost = free_port();
  RunningServer server(server_ini({{"u", "udp", port, "127.0.0.1", upstream.port()},
                                   {"l", "udp", limited, "127.0.0.1", limited_upstream.port(), 1},
                                   {"x", "udp", lost, "no-such-host.invalid", 7000}}));
  ASSERT_TRUE(server.started());
  Process& proc = server.process();

  // One upstream socket per client port, not the gateway's own port.
  Fd a = udp_socket();
  Fd b = udp_socket();
  expect_echo(a.get(), port, "a1");
  expect_echo(a.get(), port, "a2");
  expect_echo(b.get(), port, "b1");
  const auto senders = upstream.senders();
  ASSERT_EQ(senders.size(), 3u);
  EXPECT_EQ(senders[0], senders[1]);
  EXPECT_NE(senders[0], senders[2]);
  EXPECT_NE(senders[0], "127.0.0.1:" + std::to_string(port));

  // The largest datagram passes whole; an empty one is relayed and stops nothing.
  int size = 65507;
  ::setsockopt(a.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  ::setsockopt(a.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  std::string big(65507, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31);
  expect_echo(a.get(), port, big);
  expect_echo(a.get(), port, "");
  expect_echo(a.get(), port, "after empty");

  // Above the limit each datagram of a new client is dropped with a warning.
  expect_echo(a.get(), limited, "a");
  ASSERT_TRUE(udp_send(b.get(), limited, "b1"));
  ASSERT_TRUE(udp_send(b.get(), limited, "b2"));
  EXPECT_TRUE(proc.wait_for_lines("[WARN] UDP association limit reached on route l", 2));
  expect_echo(a.get(), limited, "a still served");

  ASSERT_TRUE(udp_send(a.get(), lost, "1"));
  ASSERT_TRUE(udp_send(a.get(), lost, "2"));
  EXPECT_TRUE(proc.wait_for_lines("[WARN] UDP route x packet failed: 解析 UDP 上游地址失败", 2));

  // Live associations end at once, not after the 60 s idle time-out.
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(server.terminate(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
  EXPECT_EQ(proc.count_lines("UDP recvfrom failed"), 0u);
  EXPECT_EQ(proc.count_lines("server stopped"), 1u);
}

// Thousands of expiring associations are the churn test's; here one comes back.
TEST(UdpRelay, ClientAfterExpiryGetsANewAssociation) {
  UdpEchoServer upstream;
  const int port = free_port();
  RunningServer server(server_ini({{"u", "udp", port, "127.0.0.1", upstream.port()}}, 5000, 1000));
  ASSERT_TRUE(server.started());
  const pid_t pid = server.process().pid();
  const size_t idle_threads = thread_count(pid);
  Fd a = udp_socket();
  expect_echo(a.get(), port, "first");
  EXPECT_EQ(
      eventually([&] { return thread_count(pid); }, [&](size_t n) { return n <= idle_threads; }),
      idle_threads);
  expect_echo(a.get(), port, "second");
  const auto senders = upstream.senders();
  ASSERT_EQ(senders.size(), 2u);
  EXPECT_NE(senders[0], senders[1]);  // a new upstream socket after the time-out
}

}  // namespace
}  // namespace tarnwicket::test
