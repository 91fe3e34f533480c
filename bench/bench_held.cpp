// The held connections and the end of the run, measured in every contender's
// own processes one after the other (scenarios 6 and 10).

#include <cmath>
#include <cstdio>

#include "bench.h"

namespace tarnwicket::bench {

void Bench::held_tcp(int count) {
  if (!section(6, "6. " + std::to_string(count) + " held TCP connections")) return;
  const std::string n = std::to_string(count);
  Row& open = report_.add("6. open " + n + " idle connections", "s");
  Row& threads =
      report_.add("6. threads per held connection (" + n + ")", "threads", Goal::kValueAtMost, 2);
  Row& pss = report_.add("6. PSS per held connection (" + n + ")", "KiB", Goal::kValueAtMost, 16);
  Row& rss = report_.add("6. RSS per held connection (" + n + ")", "KiB");
  Row& kernel = report_.add("6. kernel mem, system-wide, per conn (" + n + ")", "KiB");
  open.direct.push_back(tcp_hold(direct_.tcp_echo, count, 60).open_seconds);
  for (std::size_t c = 0; c < contenders_.size(); ++c) {
    settle();
    const Contender& contender = *contenders_[c];
    const Memory before = contender.memory();
    HeldConnections held = tcp_hold(contender.ports().tcp_echo, count, 60);
    const Memory after = contender.memory();
    const double held_count = static_cast<double>(held.sockets.size());
    open.columns[c].push_back(held.open_seconds);
    threads.columns[c].push_back((after.threads - before.threads) / held_count);
    pss.columns[c].push_back((after.pss_kib - before.pss_kib) / held_count);
    rss.columns[c].push_back((after.rss_kib - before.rss_kib) / held_count);
    kernel.columns[c].push_back((after.kernel_kib - before.kernel_kib) / held_count);
    if (held.failures != 0)
      std::fprintf(stderr, "    %s: %zu connections failed\n", contender.name().c_str(),
                   held.failures);
  }
  settle();
}

void Bench::held_udp(int count) {
  if (!section(6, "6. held UDP associations")) return;
  live_udp_threads_ = 0;
  for (std::size_t c = 0; c < contenders_.size(); ++c)
    wait_for_threads(static_cast<int>(c), idle_[c].threads, 20s);
  const std::string n = std::to_string(count);
  Row& threads =
      report_.add("6. threads per UDP association (" + n + ")", "threads", Goal::kValueEquals, 1);
  Row& pss = report_.add("6. PSS per UDP association (" + n + ")", "KiB");
  for (std::size_t c = 0; c < contenders_.size(); ++c) {
    const Contender& contender = *contenders_[c];
    if (!contender.has_udp()) continue;
    const Memory before = contender.memory();
    HeldConnections held = udp_hold(contender.ports().udp_echo, count, 30);
    const Memory after = contender.memory();
    const double held_count = static_cast<double>(held.sockets.size());
    threads.columns[c].push_back((after.threads - before.threads) / held_count);
    pss.columns[c].push_back((after.pss_kib - before.pss_kib) / held_count);
  }
}

void Bench::after_all() {
  if (!section(10, "10. back to idle, SIGTERM")) return;
  Row& threads = report_.add(
      "10. threads after the run (idle " + std::to_string(static_cast<int>(idle_[0].threads)) + ")",
      "threads", Goal::kValueEquals, idle_[0].threads);
  Row& pss = report_.add("10. PSS growth over idle after the run", "KiB");
  Row& at_start = report_.add("10. PSS at idle, once started", "MiB", Goal::kValueAtMost, 2);
  Row& exit_row = report_.add("10. SIGTERM to exit", "ms", Goal::kValueAtMost, 200);
  for (std::size_t c = 0; c < contenders_.size(); ++c) {
    const bool idle = wait_for_threads(static_cast<int>(c), idle_[c].threads, 30s);
    const Memory now = contenders_[c]->memory();
    threads.columns[c].push_back(idle ? now.threads : NAN);
    pss.columns[c].push_back(now.pss_kib - idle_[c].pss_kib);
    at_start.columns[c].push_back(idle_[c].pss_kib / 1024);
  }
  for (std::size_t c = 0; c < contenders_.size(); ++c)
    exit_row.columns[c].push_back(contenders_[c]->stop());
}

}  // namespace tarnwicket::bench
