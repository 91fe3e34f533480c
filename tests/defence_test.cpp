// The defences against floods and abusers: new-client rates, the deny list,
// the per-client datagram cap, eviction of unconfirmed UDP associations, and
// refusals logged as a summary.

#include "gateway/rate_limit.h"
#include "support/admission_fixture.h"

namespace tarnwicket::test {
namespace {

constexpr std::int64_t kMs = 1'000'000;  // in the buckets' nanoseconds

// How many of `tries` takes at `now` the bucket grants.
int granted(TokenBucket& bucket, int rate, std::int64_t now, int tries) {
  int count = 0;
  for (int i = 0; i < tries; ++i) count += bucket.take(rate, now) ? 1 : 0;
  return count;
}

TEST(TokenBucket, HoldsOneSecondsWorthThenRefillsAtTheRate) {
  TokenBucket bucket;
  const std::int64_t start = 5000 * kMs;
  EXPECT_EQ(granted(bucket, 5, start, 10), 5);
  EXPECT_EQ(granted(bucket, 5, start + 199 * kMs, 10), 0);
  EXPECT_EQ(granted(bucket, 5, start + 200 * kMs, 10), 1);
  EXPECT_EQ(granted(bucket, 5, start + 60000 * kMs, 10), 5);  // never more than a second's worth
}

TEST(TokenBucket, SharedBucketAgreesWithTheSingleOne) {
  SharedTokenBucket shared;
  int count = 0;
  for (int i = 0; i < 10; ++i) count += shared.take(3, 7000 * kMs) ? 1 : 0;
  EXPECT_EQ(count, 3);
  EXPECT_TRUE(shared.take(3, 7334 * kMs));
}

TEST(AddressRates, KeepsAddressesApartAndForgetsFullBuckets) {
  AddressRates rates;
  const std::int64_t start = 9000 * kMs;
  EXPECT_TRUE(rates.take("a", 1, start));
  EXPECT_FALSE(rates.take("a", 1, start));
  EXPECT_TRUE(rates.take("b", 1, start));
  for (int i = 0; i < static_cast<int>(AddressRates::kSweepFrom); ++i)
    rates.take(std::to_string(i), 1, start);
  EXPECT_GT(rates.size(), AddressRates::kSweepFrom);
  // A second later every bucket is full again: the next take sweeps them out.
  EXPECT_FALSE(rates.take("a", 1, start + 999 * kMs));
  EXPECT_TRUE(rates.take("a", 1, start + 2000 * kMs));
  EXPECT_EQ(rates.size(), 1u);
}

using Defence = AdmissionFixture;

// Datagrams that come back on `client` until none has for a while.
int replies(int client) {
  set_receive_timeout(client, scaled(300ms));
  int count = 0;
  while (udp_recv(client)) ++count;
  return count;
}

TEST_P(Defence, DenyWinsOverAllow) {
  ASSERT_TRUE(start({route("tcp", "allow = 127.0.0.0/8\ndeny = 127.0.0.2 | 127.0.0.8/30\n")}));
  for (auto* out : {"127.0.0.2", "127.0.0.9"})
    EXPECT_TRUE(wait_closed(tcp_connect(port_, out).get()));
  EXPECT_TRUE(echoes(tcp_connect(port_, "127.0.0.3").get(), "allowed"));
  EXPECT_EQ(eventually_refused("deny list", 2), 2u);
}

// One second's worth at once, and no upstream connect for the refused. At
// one a second, so that no token comes back while a slow build accepts.
TEST_P(Defence, RouteRateRefusesBeyondOneSecondsWorthBeforeConnecting) {
  ASSERT_TRUE(start({to_own_upstream("new_clients_per_second = 1\n")}));
  std::vector<Fd> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(tcp_connect(port_));
  int closed = 0;
  for (const Fd& client : clients) {
    set_receive_timeout(client.get(), scaled(500ms));
    char byte;
    closed += ::recv(client.get(), &byte, 1, 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(closed, 2);
  EXPECT_EQ(eventually_refused("rate limit", 2), 2u);
  set_receive_timeout(upstream_.get(), scaled(300ms));
  std::vector<Fd> connected;
  while (Fd peer{::accept(upstream_.get(), nullptr, nullptr)}) connected.push_back(std::move(peer));
  EXPECT_EQ(connected.size(), 1u);
}

TEST_P(Defence, PerAddressRateSparesOtherAddresses) {
  ASSERT_TRUE(start({route("udp", "new_clients_per_address_per_second = 1\n")}));
  EXPECT_TRUE(echoes(udp_connect(udp_port_, "127.0.0.1", "127.0.0.2").get(), "first"));
  ASSERT_TRUE(udp_send(udp_connect(udp_port_, "127.0.0.1", "127.0.0.2").get(), "second"));
  EXPECT_EQ(eventually_refused("per-address rate limit", 1), 1u);
  EXPECT_TRUE(echoes(udp_connect(udp_port_, "127.0.0.1", "127.0.0.3").get(), "other address"));
}

// A burst of ten times the cap: one second's worth passes, the rest is
// dropped and counted.
TEST_P(Defence, DatagramCapLetsTheCapThrough) {
  constexpr int kCap = 20, kSent = 10 * kCap;
  ASSERT_TRUE(start({route("udp",
                           "udp_datagrams_per_second_per_client = 20\n"
                           "udp_receive_buffer_bytes = 4194304\n")}));
  Fd client = udp_connect(udp_port_);
  for (int i = 0; i < kSent; ++i) ASSERT_TRUE(udp_send(client.get(), "x"));
  const int passed = replies(client.get());
  EXPECT_GE(passed, kCap);
  EXPECT_LE(passed, kCap + 2);  // the bucket refills while the burst is read
  EXPECT_EQ(eventually_counted(" dropped ", " datagrams: client rate limit",
                               static_cast<size_t>(kSent - passed)),
            static_cast<size_t>(kSent - passed));
}

// A full table: the client that sent again after a reply stays, the one that
// never did gives way, oldest first.
TEST_P(Defence, EvictionMakesRoomByTheOldestUnconfirmed) {
  ASSERT_TRUE(start({route("udp", "max_connections = 2\nudp_evict_unconfirmed = true\n")}));
  Fd player = udp_connect(udp_port_);
  ASSERT_TRUE(echoes(player.get(), "1"));
  ASSERT_TRUE(echoes(player.get(), "2"));  // confirmed now
  Fd silent = udp_connect(udp_port_);
  ASSERT_TRUE(echoes(silent.get(), "once"));
  Fd newcomer = udp_connect(udp_port_);
  EXPECT_TRUE(echoes(newcomer.get(), "room"));
  EXPECT_TRUE(echoes(udp_connect(udp_port_).get(), "room again"));  // the newcomer gives way
  EXPECT_TRUE(echoes(player.get(), "still here"));
  EXPECT_EQ(eventually_counted(" evicted ", " unconfirmed UDP associations", 2), 2u);
}

TEST_P(Defence, SummaryReplacesTheConnectionLimitLine) {
  ASSERT_TRUE(start({route("tcp", "max_connections = 1\n")}, 5000, 60000, {}, "127.0.0.1",
                    "log_refusals = summary\n"));
  Fd held = tcp_connect(port_);
  ASSERT_TRUE(echoes(held.get(), "held"));
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(wait_closed(tcp_connect(port_).get()));
  EXPECT_EQ(eventually_refused("connection limit", 2), 2u);
  EXPECT_EQ(proc().count_lines("limit reached"), 0u);
}

TEST_P(Defence, SummaryReplacesTheAssociationLimitLine) {
  ASSERT_TRUE(start({route("udp", "max_connections = 1\n")}, 5000, 60000, {}, "127.0.0.1",
                    "log_refusals = summary\n"));
  Fd player = udp_connect(udp_port_);
  ASSERT_TRUE(echoes(player.get(), "held"));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(udp_send(udp_connect(udp_port_).get(), "no room"));
  EXPECT_EQ(eventually_refused("UDP association limit", 3), 3u);
  EXPECT_EQ(proc().count_lines("limit reached"), 0u);
}

TARNWICKET_ON_BOTH_ENGINES(Defence);

}  // namespace
}  // namespace tarnwicket::test
