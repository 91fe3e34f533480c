// The UDP relay through the real binary against an upstream of the test's own.

#include <gtest/gtest.h>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

class UdpRelay : public ::testing::Test {
 protected:
  void start(int max_connections = 0, int idle_ms = 60000, std::string target_host = "127.0.0.1") {
    port_ = free_port();
    server_ = std::make_unique<RunningServer>(server_ini(
        {{"u", "udp", port_, target_host, upstream_.port(), max_connections}}, 5000, idle_ms));
    ASSERT_TRUE(server_->started());
  }
  Process& proc() { return server_->process(); }
  void expect_echo(int fd, const std::string& data) {
    ASSERT_TRUE(udp_send(fd, port_, data));
    int from = 0;
    EXPECT_EQ(udp_recv(fd, 5s, &from), data);
    EXPECT_EQ(from, port_);  // replies come from the port the client sent to
  }

  UdpEchoServer upstream_;
  int port_ = 0;
  std::unique_ptr<RunningServer> server_;
};

TEST_F(UdpRelay, OneAssociationPerClientPort) {
  start();
  Fd a = udp_socket();
  Fd b = udp_socket();
  expect_echo(a.get(), "a1");
  expect_echo(a.get(), "a2");
  expect_echo(b.get(), "b1");
  const auto senders = upstream_.senders();
  ASSERT_EQ(senders.size(), 3u);
  EXPECT_EQ(senders[0], senders[1]);
  EXPECT_NE(senders[0], senders[2]);
  EXPECT_NE(senders[0], "127.0.0.1:" + std::to_string(port_));
}

TEST_F(UdpRelay, LimitDropsNewClientsWithAWarningEach) {
  start(1);
  Fd a = udp_socket();
  Fd b = udp_socket();
  expect_echo(a.get(), "a");
  ASSERT_TRUE(udp_send(b.get(), port_, "b1"));
  ASSERT_TRUE(udp_send(b.get(), port_, "b2"));
  EXPECT_TRUE(proc().wait_for_lines("[WARN] UDP association limit reached on route u", 2));
  expect_echo(a.get(), "a still served");
}

TEST_F(UdpRelay, IdleAssociationExpires) {
  start(0, 1000);
  const size_t idle_threads = thread_count(proc().pid());
  Fd a = udp_socket();
  expect_echo(a.get(), "first");
  EXPECT_EQ(eventually([&] { return thread_count(proc().pid()); },
                       [&](size_t n) { return n <= idle_threads; }),
            idle_threads);
  expect_echo(a.get(), "second");
  const auto senders = upstream_.senders();
  ASSERT_EQ(senders.size(), 2u);
  EXPECT_NE(senders[0], senders[1]);  // a new upstream socket after the time-out
}

TEST_F(UdpRelay, UnresolvableTargetFailsEachDatagram) {
  start(0, 60000, "no-such-host.invalid");
  Fd a = udp_socket();
  ASSERT_TRUE(udp_send(a.get(), port_, "1"));
  ASSERT_TRUE(udp_send(a.get(), port_, "2"));
  EXPECT_TRUE(proc().wait_for_lines("[WARN] UDP route u packet failed: 解析 UDP 上游地址失败", 2));
}

TEST_F(UdpRelay, LargestAndEmptyDatagramsPassWhole) {
  start();
  Fd a = udp_socket();
  int size = 65507;
  ::setsockopt(a.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  ::setsockopt(a.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  std::string big(65507, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31);
  expect_echo(a.get(), big);
  expect_echo(a.get(), "");  // an empty datagram is relayed and stops nothing
  expect_echo(a.get(), "after empty");
}

TEST_F(UdpRelay, StopClosesLiveAssociationsPromptly) {
  start();
  std::vector<Fd> clients;
  for (int i = 0; i < 5; ++i) {
    clients.push_back(udp_socket());
    expect_echo(clients.back().get(), "x");
  }
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(server_->terminate(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);  // not the 60 s idle time-out
  EXPECT_EQ(proc().count_lines("UDP recvfrom failed"), 0u);
  EXPECT_EQ(proc().count_lines("server stopped"), 1u);
}

TEST_F(UdpRelay, ExpiredAssociationsGiveTheirThreadsBack) {
  start(0, 1000);
  const size_t idle_threads = thread_count(proc().pid());
  std::vector<Fd> clients;
  for (int i = 0; i < 300; ++i) {
    clients.push_back(udp_socket());
    expect_echo(clients.back().get(), std::to_string(i));
  }
  EXPECT_GE(thread_count(proc().pid()), idle_threads + 1);
  EXPECT_EQ(eventually([&] { return thread_count(proc().pid()); },
                       [&](size_t n) { return n <= idle_threads; }, 15s),
            idle_threads);
}

}  // namespace
}  // namespace tarnwicket::test
