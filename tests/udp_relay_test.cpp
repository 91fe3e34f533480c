// The UDP relay through the real binary against upstreams of the test's own.

#include <sys/socket.h>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

// Sends `data` and expects it back whole.
void expect_echo(int fd, const std::string& data) {
  ASSERT_TRUE(udp_send(fd, data));
  EXPECT_EQ(udp_recv(fd), data);
}

class UdpRelay : public RelayFixture {
 protected:
  // Connected: an echo from any port but the gateway's own is never received.
  Fd a_ = udp_connect(udp_port_);
  Fd b_ = udp_connect(udp_port_);
};

// One upstream socket per client port, and not the gateway's own port.
TEST_F(UdpRelay, OneUpstreamSocketPerClientPort) {
  ASSERT_TRUE(start({udp_route()}));
  expect_echo(a_.get(), "a1");
  expect_echo(a_.get(), "a2");
  expect_echo(b_.get(), "b1");
  const std::vector<int> senders = udp_upstream_.sender_ports();
  ASSERT_EQ(senders.size(), 2u);
  EXPECT_NE(senders[0], udp_port_);
  EXPECT_NE(senders[1], udp_port_);
}

// The largest datagram passes whole; an empty one is relayed and stops nothing.
TEST_F(UdpRelay, LargestAndEmptyDatagramsPassWhole) {
  ASSERT_TRUE(start({udp_route()}));
  const int size = 65507;
  ::setsockopt(a_.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  ::setsockopt(a_.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  std::string big(65507, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31);
  expect_echo(a_.get(), big);
  expect_echo(a_.get(), "");
  expect_echo(a_.get(), "after empty");
}

// Above the limit each datagram of a new client is dropped with a warning.
TEST_F(UdpRelay, AssociationLimitDropsNewClientsWithAWarning) {
  ASSERT_TRUE(start({udp_route(1)}));
  expect_echo(a_.get(), "a");
  ASSERT_TRUE(udp_send(b_.get(), "b1"));
  ASSERT_TRUE(udp_send(b_.get(), "b2"));
  EXPECT_TRUE(proc().wait_for_lines("[WARN] UDP association limit reached on route u", 2));
  expect_echo(a_.get(), "a still served");
  EXPECT_EQ(udp_upstream_.sender_ports().size(), 1u);
}

TEST_F(UdpRelay, UnresolvableTargetWarnsPerDatagram) {
  ASSERT_TRUE(start({{"x", "udp", udp_port_, "no-such-host.invalid", 7000}}));
  ASSERT_TRUE(udp_send(a_.get(), "1"));
  ASSERT_TRUE(udp_send(a_.get(), "2"));
  EXPECT_TRUE(proc().wait_for_lines("[WARN] UDP route x packet failed: 解析 UDP 上游地址失败", 2));
}

// Live associations end at once, not after the 60 s idle time-out.
TEST_F(UdpRelay, StopEndsLiveAssociationsPromptly) {
  ASSERT_TRUE(start({udp_route()}));
  expect_echo(a_.get(), "a");
  expect_echo(b_.get(), "b");
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(server().terminate(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
  EXPECT_EQ(proc().count_lines("UDP recvfrom failed"), 0u);
  EXPECT_EQ(proc().count_lines("server stopped"), 1u);
}

// Thousands of expiring associations are the churn test's; here one comes back.
TEST_F(UdpRelay, ClientAfterExpiryGetsANewAssociation) {
  ASSERT_TRUE(start({udp_route()}, 5000, 1000));
  expect_echo(a_.get(), "first");
  EXPECT_TRUE(back_to_idle());
  expect_echo(a_.get(), "second");
  EXPECT_EQ(udp_upstream_.sender_ports().size(), 2u);  // a new upstream socket
}

}  // namespace
}  // namespace tarnwicket::test
