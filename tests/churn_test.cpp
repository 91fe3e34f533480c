// Tens of thousands of short TCP connections and thousands of UDP
// associations through one running server, which must then be back to its
// idle threads, descriptors and memory. Sanitizer builds run several times
// slower, so they use smaller counts; the bounds stay.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr int kTcpChurn = kSanitized ? 10000 : 20000;
constexpr int kUdpChurn = kSanitized ? 500 : 2000;
constexpr int kChurnThreads = 4;
// Resident memory: the second half of the TCP churn may add at most this much
// over the first (the first half fills the allocator's and thread caches),
// and the whole run at most the ceiling over the idle process.
constexpr double kRssGrowthKib = 4 * 1024;
constexpr double kRssCeilingKib = 64 * 1024;

// `count` connect/echo/close exchanges over a few client threads, within the
// budget; gives the number that failed (or were not made in time).
int tcp_churn(int port, int count, std::chrono::seconds budget) {
  const auto until = std::chrono::steady_clock::now() + budget;
  std::atomic<int> next{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kChurnThreads; ++t) {
    threads.emplace_back([&] {
      for (int i; (i = next++) < count;) {
        Fd client = std::chrono::steady_clock::now() < until ? tcp_connect(port) : Fd();
        if (!client || !echoes(client.get(), "churn " + std::to_string(i))) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  return failures.load();
}

// `count` UDP clients, each from a port of its own and so through an
// association of its own, each answered once; gives the number not answered.
int udp_churn(int port, int count) {
  constexpr int kBatch = 100;
  int failures = 0;
  for (int first = 0; first < count; first += kBatch) {
    std::vector<Fd> batch;
    for (int i = first; i < std::min(count, first + kBatch); ++i) {
      batch.push_back(udp_connect(port));
      set_receive_timeout(batch.back().get(), 2s);
      if (!udp_send(batch.back().get(), "assoc " + std::to_string(i))) ++failures;
    }
    // UDP may drop a burst when the receive thread falls behind (slow under
    // sanitizers); like a game client, resend a datagram that got no answer.
    for (size_t j = 0; j < batch.size(); ++j) {
      const std::string text = "assoc " + std::to_string(first + static_cast<int>(j));
      bool echoed = udp_recv(batch[j].get()) == text;
      for (int retry = 0; retry < 3 && !echoed; ++retry) {
        echoed = udp_send(batch[j].get(), text) && udp_recv(batch[j].get()) == text;
      }
      if (!echoed) ++failures;
    }
  }
  return failures;
}

struct Usage {
  size_t threads;
  size_t fds;
  double rss_kib;
};

Usage usage(pid_t pid) { return {thread_count(pid), fd_count(pid), resident_kib(pid)}; }

// The measured figures, for the record in the test log.
void report(const char* phase, const Usage& u, std::chrono::steady_clock::duration took) {
  std::printf(
      "[ figures  ] %-10s threads %zu, fds %zu, rss %.0f KiB, %lld ms\n", phase, u.threads, u.fds,
      u.rss_kib,
      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

class Churn : public RelayFixture {
 protected:
  // The usage once threads and descriptors are back to the idle level.
  Usage settled() {
    EXPECT_TRUE(back_to_idle(20s));
    return usage(proc().pid());
  }
};

TEST_F(Churn, ShortConnectionsAndAssociationsLeaveNothingBehind) {
  ASSERT_TRUE(start({tcp_route(), udp_route()}, 5000, 1000));
  const pid_t pid = proc().pid();
  const Usage idle = usage(pid);
  report("idle", idle, {});

  // Two halves: the first fills the caches of the allocator and the thread
  // library; the second must then leave memory where the first left it.
  auto begin = std::chrono::steady_clock::now();
  const int half = kTcpChurn / 2;
  ASSERT_EQ(tcp_churn(port_, half, 90s), 0);
  ASSERT_TRUE(proc().wait_for_lines("relay ended", 2 * static_cast<size_t>(half), 60s));
  const Usage warm = settled();
  report("tcp half", warm, std::chrono::steady_clock::now() - begin);
  begin = std::chrono::steady_clock::now();
  ASSERT_EQ(tcp_churn(port_, kTcpChurn - half, 90s), 0);
  ASSERT_TRUE(proc().wait_for_lines("relay ended", 2 * static_cast<size_t>(kTcpChurn), 60s));
  const Usage after_tcp = settled();
  report("tcp all", after_tcp, std::chrono::steady_clock::now() - begin);

  begin = std::chrono::steady_clock::now();
  ASSERT_EQ(udp_churn(udp_port_, kUdpChurn), 0);
  const Usage peak = usage(pid);
  report("udp peak", peak, std::chrono::steady_clock::now() - begin);
  const Usage after_udp = settled();  // every association idles out after 1 s
  report("udp done", after_udp, std::chrono::steady_clock::now() - begin);

  EXPECT_EQ(proc().count_lines("relay ended"), 2 * static_cast<size_t>(kTcpChurn));
  EXPECT_EQ(proc().count_lines("[WARN]"), 0u);
  if (!kSanitized) {  // sanitizers keep freed memory in quarantine; their leak check covers it
    EXPECT_LE(after_tcp.rss_kib, warm.rss_kib + kRssGrowthKib);
    EXPECT_LE(after_udp.rss_kib, idle.rss_kib + kRssCeilingKib);
  }
}

}  // namespace
}  // namespace tarnwicket::test
