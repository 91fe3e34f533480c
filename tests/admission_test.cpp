// Peers that misbehave: upstreams that never answer or never read, clients
// that take every slot from one address, and clients from outside the route's
// networks.

#include <sys/socket.h>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

class Admission : public RelayFixture {
 protected:
  RouteSpec route(const std::string& protocol, int target, const std::string& extra) const {
    return {"r",  protocol, protocol == "udp" ? udp_port_ : port_, "127.0.0.1", target, 0,
            true, extra};
  }
  // Waits for `count`, the sum of N over "[WARN] route r refused N clients: REASON"
  // lines; gives the sum then.
  size_t eventually_refused(const std::string& reason, size_t count) {
    const std::string head = "[WARN] route r refused ";
    auto refused = [&] {
      size_t sum = 0;
      for (const std::string& line : proc().stdout_lines()) {
        const size_t at = line.find(head);
        if (at != std::string::npos && line.ends_with(" clients: " + reason))
          sum += std::stoul(line.substr(at + head.size()));
      }
      return sum;
    };
    return eventually(refused, [&](size_t n) { return n >= count; });
  }
};

// An upstream whose accept queue is full drops further SYNs, as a crashed
// host behind a firewall does.
Fd full_listener(int* port, std::vector<Fd>& fillers) {
  Fd listener = tcp_listener(0, port);
  ::listen(listener.get(), 0);
  set_receive_timeout(listener.get(), 10s);
  fillers.push_back(tcp_connect(*port));  // the one place of a backlog of 0
  return listener;
}

TEST_F(Admission, UpstreamConnectGivesUpAfterTheTimeout) {
  int target = 0;
  std::vector<Fd> fillers;
  Fd upstream = full_listener(&target, fillers);
  ASSERT_TRUE(start({route("tcp", target, "max_connections = 1\n")}, 300));
  for (int i = 0; i < 2; ++i) {  // the second client finds the slot back
    Fd client = tcp_connect(port_);
    EXPECT_TRUE(wait_closed(client.get()));
  }
  EXPECT_TRUE(proc().wait_for_lines(
      "[WARN] route r connection closed: 连接 TCP 上游失败 127.0.0.1:" + std::to_string(target),
      2));
  EXPECT_EQ(proc().count_lines("connection limit reached"), 0u);
}

TEST_F(Admission, SigtermEndsWaitingConnectsPromptly) {
  int target = 0;
  std::vector<Fd> fillers;
  Fd upstream = full_listener(&target, fillers);
  ASSERT_TRUE(start({route("tcp", target, "")}, 60000));
  const size_t idle = thread_count(proc().pid());
  std::vector<Fd> clients;
  for (int i = 0; i < 50; ++i) clients.push_back(tcp_connect(port_));
  // One thread per client, each waiting in its upstream connect.
  ASSERT_TRUE(eventually_true([&] { return thread_count(proc().pid()) >= idle + 50; }));
  EXPECT_TRUE(stops_within(500ms));
  const auto lines = proc().stdout_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.back().ends_with("[INFO] server stopped")) << lines.back();
  for (const std::string& line : lines) {  // whole lines only
    EXPECT_TRUE(line.starts_with("server started") || line.find(" [INFO] ") == 19 ||
                line.find(" [WARN] ") == 19)
        << line;
  }
}

// With one slot: the pump blocked sending to an upstream that takes nothing
// gives up, and the next client is served.
TEST_F(Admission, StalledUpstreamFreesItsSlot) {
  int target = 0;
  Fd upstream = tcp_listener(0, &target);
  set_receive_timeout(upstream.get(), 10s);
  ASSERT_TRUE(start({route("tcp", target, "max_connections = 1\n")}, 500));
  Fd first = tcp_connect(port_);
  Fd held(::accept(upstream.get(), nullptr, nullptr));  // accepted, never read
  std::jthread flood([&] {
    const std::string chunk(1 << 20, 'x');
    for (int i = 0; i < 64 && send_all(first.get(), chunk.data(), chunk.size()); ++i) {
    }
  });
  EXPECT_TRUE(proc().wait_for_lines("route r relay ended", 2));
  Fd second = tcp_connect(port_);
  Fd served(::accept(upstream.get(), nullptr, nullptr));
  ASSERT_TRUE(send_all(second.get(), "hi", 2));
  set_receive_timeout(served.get(), 10s);
  EXPECT_EQ(recv_exact(served.get(), 2), "hi");
  flood.join();
}

TEST_F(Admission, PerAddressLimitForTcp) {
  ASSERT_TRUE(start({route("tcp", tcp_upstream_.port(), "max_connections_per_address = 2\n")}));
  Fd a1 = tcp_connect(port_, "127.0.0.2");
  Fd a2 = tcp_connect(port_, "127.0.0.2");
  ASSERT_TRUE(echoes(a1.get(), "1") && echoes(a2.get(), "2"));
  EXPECT_TRUE(wait_closed(tcp_connect(port_, "127.0.0.2").get()));
  EXPECT_TRUE(echoes(tcp_connect(port_, "127.0.0.3").get(), "other address"));
  EXPECT_EQ(eventually_refused("per-address limit", 1), 1u);
  a1.reset();  // its count comes back
  EXPECT_TRUE(eventually_true([&] { return echoes(tcp_connect(port_, "127.0.0.2").get(), "2"); }));
}

TEST_F(Admission, PerAddressLimitForUdp) {
  ASSERT_TRUE(start({route("udp", udp_upstream_.port(), "max_connections_per_address = 2\n")}));
  Fd a1 = udp_connect(udp_port_, "127.0.0.1", "127.0.0.2");
  Fd a2 = udp_connect(udp_port_, "127.0.0.1", "127.0.0.2");
  EXPECT_TRUE(echoes(a1.get(), "1") && echoes(a2.get(), "2"));
  ASSERT_TRUE(udp_send(udp_connect(udp_port_, "127.0.0.1", "127.0.0.2").get(), "3"));
  EXPECT_EQ(eventually_refused("per-address limit", 1), 1u);
  EXPECT_TRUE(echoes(udp_connect(udp_port_, "127.0.0.1", "127.0.0.3").get(), "other address"));
}

// An association to a silent upstream ends after the first-reply time-out,
// while one that was answered lives on under the idle rule.
TEST_F(Admission, FirstReplyTimeoutEndsUnansweredAssociations) {
  // Bound and never read: datagrams to it are taken in and never answered.
  Fd silent = udp_socket();
  const int other_port = free_port();
  const std::string first_reply = "udp_first_reply_timeout_ms = 200\n";
  ASSERT_TRUE(start(
      {route("udp", udp_upstream_.port(), first_reply),
       {"s", "udp", other_port, "127.0.0.1", local_port(silent.get()), 0, true, first_reply}}));
  const size_t idle = thread_count(proc().pid());
  Fd answered = udp_connect(udp_port_);
  ASSERT_TRUE(echoes(answered.get(), "a"));
  ASSERT_TRUE(udp_send(udp_connect(other_port).get(), "b"));
  ASSERT_EQ(udp_recv(silent.get()), "b");  // its association exists
  EXPECT_TRUE(eventually_true([&] { return thread_count(proc().pid()) == idle + 1; }));
  EXPECT_TRUE(echoes(answered.get(), "c"));
  EXPECT_EQ(udp_upstream_.sender_ports().size(), 1u);  // still the first association
}

TEST_F(Admission, AllowListServesInsideAndRefusesOutside) {
  const struct {
    const char* allow;
    const char* inside;
    const char* outside;  // nullptr: everyone is inside
  } cases[] = {{"127.0.0.2", "127.0.0.2", "127.0.0.3"},
               {"10.0.0.0/8 | 127.0.0.0/30", "127.0.0.3", "127.0.0.4"},
               {"0.0.0.0/0", "127.0.0.9", nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.allow);
    ASSERT_TRUE(
        start({route("tcp", tcp_upstream_.port(), std::string("allow = ") + c.allow + "\n")}));
    EXPECT_TRUE(echoes(tcp_connect(port_, c.inside).get(), "in"));
    if (c.outside != nullptr) {
      EXPECT_TRUE(wait_closed(tcp_connect(port_, c.outside).get()));
      EXPECT_EQ(eventually_refused("allow list", 1), 1u);
    }
    EXPECT_EQ(server().terminate(), 0);
  }
}

// A flood of refused datagrams is logged at most once a second, with counts
// that add up.
TEST_F(Admission, RefusalsAreLoggedOnceASecondWithTheirCount) {
  // Room for the whole burst in the route's socket, so that none is lost uncounted.
  ASSERT_TRUE(start({route("udp", udp_upstream_.port(),
                           "allow = 127.0.0.2\nudp_receive_buffer_bytes = 4194304\n")}));
  Fd outsider = udp_connect(udp_port_);
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(udp_send(outsider.get(), "x"));
  EXPECT_EQ(eventually_refused("allow list", 1000), 1000u);
  EXPECT_LE(proc().count_lines("refused"), 3u);
  EXPECT_TRUE(udp_upstream_.sender_ports().empty());
}

}  // namespace
}  // namespace tarnwicket::test
