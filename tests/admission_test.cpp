// The tables of the per-address counts and the UDP client key; peers that
// misbehave: upstreams that never answer or never read, clients that take
// every slot from one address, and clients from outside the route's networks.

#include "gateway/admission.h"

#include <sys/socket.h>

#include <sstream>

#include "net/address.h"
#include "support/admission_fixture.h"

namespace tarnwicket::test {
namespace {

// The rows run in order on one AddressCounts.
TEST(AddressCounts, CountsEveryRowOfTheTable) {
  AddressCounts counts;
  for (const auto& [where, row, expected] : table("address_counts.txt")) {
    std::istringstream in(row);
    std::string action, address;
    int limit = 0;
    in >> action >> address >> limit;
    const bool added = action == "add" && counts.try_add(address, limit);
    if (action == "remove") counts.remove(address);
    EXPECT_EQ(action == "remove" ? "" : added ? "yes" : "no", expected) << where;
  }
}

// The row "[unmapped] HOST PORT [SCOPE_ID]" as the key of that UDP client.
std::string key_of(const std::string& row) {
  std::istringstream in(row);
  std::string host;
  int port = 0;
  sockaddr_storage address{};
  auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
  const bool unmap = (in >> host, host == "unmapped");
  if (unmap) in >> host;
  in >> port;
  socklen_t length = socket_address(host, port, v6);
  in >> v6.sin6_scope_id;  // beyond the end of an IPv4 address
  if (host == "-") address.ss_family = AF_UNSPEC;
  if (unmap) unmap_ipv4(address, length);
  char out[kClientKeyBytes];
  return std::string(client_key(address, length, out));
}

TEST(ClientKey, KeysEveryRowOfTheTable) {
  for (const auto& [where, row, expected] : table("udp_client_keys.txt"))
    EXPECT_EQ(key_of(row), expected) << where;
}

using Admission = AdmissionFixture;

TEST_P(Admission, UpstreamConnectGivesUpAfterTheTimeout) {
  ASSERT_TRUE(start({to_own_upstream("max_connections = 1\n", /*full=*/true)}, 300));
  // The second client finds the slot back, so both fail on the connect.
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(wait_closed(tcp_connect(port_).get()));
  EXPECT_TRUE(proc().wait_for_lines("[WARN] route r connection closed: 连接 TCP 上游失败 ", 2));
}

TEST_P(Admission, SigtermEndsWaitingConnectsPromptly) {
  ASSERT_TRUE(start({to_own_upstream("", /*full=*/true)}, 60000));
  const size_t idle = fd_count(proc().pid());
  std::vector<Fd> clients;
  for (int i = 0; i < 50; ++i) clients.push_back(tcp_connect(port_));
  // Two sockets per client, each waiting in its upstream connect.
  ASSERT_TRUE(eventually_true([&] { return fd_count(proc().pid()) >= idle + 100; }));
  EXPECT_TRUE(stops_within(500ms));
}

// With one slot: the pump blocked sending to an upstream that takes nothing
// gives up, and the next client is served.
TEST_P(Admission, StalledUpstreamFreesItsSlot) {
  ASSERT_TRUE(start({to_own_upstream("max_connections = 1\n")}, 500));
  Fd first = tcp_connect(port_);
  Fd held(::accept(upstream_.get(), nullptr, nullptr));  // accepted, never read
  const std::string flood(64 << 20, 'x');
  EXPECT_FALSE(send_all(first.get(), flood.data(), flood.size()));  // ended by the gateway's close
  EXPECT_TRUE(proc().wait_for_lines("route r relay ended", 2));
  Fd second = tcp_connect(port_);
  Fd served(::accept(upstream_.get(), nullptr, nullptr));
  ASSERT_TRUE(send_all(served.get(), "hi", 2));
  EXPECT_EQ(recv_exact(second.get(), 2), "hi");
}

TEST_P(Admission, PerAddressLimitForTcp) {
  ASSERT_TRUE(start({route("tcp", "max_connections_per_address = 2\n")}));
  Fd a1 = tcp_connect(port_, "127.0.0.2"), a2 = tcp_connect(port_, "127.0.0.2");
  for (const Fd* client : {&a1, &a2}) ASSERT_TRUE(echoes(client->get(), "a"));
  EXPECT_TRUE(wait_closed(tcp_connect(port_, "127.0.0.2").get()));
  EXPECT_TRUE(echoes(tcp_connect(port_, "127.0.0.3").get(), "other address"));
  EXPECT_EQ(eventually_refused("per-address limit", 1), 1u);
  a1.reset();  // its count comes back
  EXPECT_TRUE(eventually_true([&] { return echoes(tcp_connect(port_, "127.0.0.2").get(), "2"); }));
}

TEST_P(Admission, PerAddressLimitForUdp) {
  ASSERT_TRUE(start({route("udp", "max_connections_per_address = 2\n")}));
  Fd a1 = udp_connect(udp_port_, "127.0.0.1", "127.0.0.2");
  Fd a2 = udp_connect(udp_port_, "127.0.0.1", "127.0.0.2");
  for (const Fd* client : {&a1, &a2}) EXPECT_TRUE(echoes(client->get(), "a"));
  ASSERT_TRUE(udp_send(udp_connect(udp_port_, "127.0.0.1", "127.0.0.2").get(), "3"));
  EXPECT_EQ(eventually_refused("per-address limit", 1), 1u);
  EXPECT_TRUE(echoes(udp_connect(udp_port_, "127.0.0.1", "127.0.0.3").get(), "other address"));
}

// An association to a silent upstream ends after the first-reply time-out,
// while one that was answered lives on under the idle rule.
TEST_P(Admission, FirstReplyTimeoutEndsUnansweredAssociations) {
  Fd silent = udp_socket();  // bound and never read: takes datagrams in, never answers
  const std::string first_reply = "udp_first_reply_timeout_ms = 200\n";
  // Route s on the fixture's TCP port, free for UDP too.
  ASSERT_TRUE(
      start({route("udp", first_reply),
             {"s", "udp", port_, "127.0.0.1", local_port(silent.get()), 0, true, first_reply}}));
  const size_t idle = fd_count(proc().pid());  // one more per association
  Fd answered = udp_connect(udp_port_);
  ASSERT_TRUE(echoes(answered.get(), "a"));
  ASSERT_TRUE(udp_send(udp_connect(port_).get(), "b"));
  ASSERT_EQ(udp_recv(silent.get()), "b");  // its association exists
  EXPECT_TRUE(eventually_true([&] { return fd_count(proc().pid()) == idle + 1; }));
  EXPECT_TRUE(echoes(answered.get(), "c"));
  EXPECT_EQ(udp_upstream_.sender_ports().size(), 1u);  // still the first association
}

// A bare address and networks in one list, with both edges of the /30 and an
// IPv4-mapped network; and a /0 that lets everyone in.
TEST_P(Admission, AllowListServesInsideAndRefusesOutside) {
  const int everyone = free_port();
  ASSERT_TRUE(start({route("tcp", "allow = 127.0.0.5 | 127.0.0.0/30 | ::ffff:127.0.0.8/126\n"),
                     {"all", "tcp", everyone, "127.0.0.1", tcp_upstream_.port(), 0, true,
                      "allow = 0.0.0.0/0\n"}}));
  for (auto* in : {"127.0.0.3", "127.0.0.5", "127.0.0.9"})
    EXPECT_TRUE(echoes(tcp_connect(port_, in).get(), in));
  for (auto* out : {"127.0.0.4", "127.0.0.6"})
    EXPECT_TRUE(wait_closed(tcp_connect(port_, out).get()));
  EXPECT_TRUE(echoes(tcp_connect(everyone, "127.0.0.9").get(), "anyone"));
  EXPECT_EQ(eventually_refused("allow list", 2), 2u);
}

// A flood of refused datagrams is logged at most once a second, with counts
// that add up.
TEST_P(Admission, RefusalsAreLoggedOnceASecondWithTheirCount) {
  // Room for the whole burst in the route's socket, so that none is lost uncounted.
  ASSERT_TRUE(start({route("udp", "allow = 127.0.0.2\nudp_receive_buffer_bytes = 4194304\n")}));
  Fd outsider = udp_connect(udp_port_);
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(udp_send(outsider.get(), "x"));
  EXPECT_EQ(eventually_refused("allow list", 1000), 1000u);
  EXPECT_LE(proc().count_lines("refused"), 3u);
}

TARNWICKET_ON_BOTH_ENGINES(Admission);

}  // namespace
}  // namespace tarnwicket::test
