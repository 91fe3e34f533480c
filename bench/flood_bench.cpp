// tarnwicket-flood-bench: a UDP route under a flood of junk from forged
// sources, each engine with the flood defences off and on. A player in the
// game before the flood, newcomers during and after it, and the gateway's
// lines, threads and memory, printed as one table row per run, after a row
// for the same flood straight at the upstream.
//
//   tarnwicket-flood-bench [--sources N] [--seconds S] [--idle-ms MS]
//                          [--engine threads|events] [--options off|on]
//
// Needs root (or CAP_NET_RAW) for the raw socket. Defaults: 30,000 sources
// over 10 s against max_connections 4096; udp_idle_timeout_ms 20000, short
// of the default 60 s so that the return to idle fits in a run.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "support/process.h"
#include "support/spoof.h"

namespace tarnwicket::bench {
namespace {

using namespace test;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "usage: tarnwicket-flood-bench [--sources N] [--seconds S] [--idle-ms MS] "
    "[--engine threads|events] [--options off|on]";
constexpr int kMaxConnections = 4096;

struct Settings {
  int sources = 30000;
  int seconds = 10;
  int idle_ms = 20000;
  std::vector<std::string> engines{"threads", "events"};
  std::vector<bool> options{false, true};
};

struct Row {
  Player::Phase before, during;
  std::optional<std::chrono::milliseconds> join_during, join_after;
  std::size_t lines = 0, idle_threads = 0, peak_threads = 0;
  double idle_mib = 0, peak_mib = 0, after_mib = 0;
  double back_s = -1;  // seconds after the flood until idle threads again; -1: not in the wait
};

std::string config(const std::string& engine, bool on, int port, int upstream, int idle_ms) {
  std::string ini =
      "[server]\nengine = " + engine +
      "\nlisten_address = 127.0.0.1\nudp_idle_timeout_ms = " + std::to_string(idle_ms) + "\n" +
      (on ? "log_refusals = summary\n" : "");
  ini += "\n[route:game]\nprotocol = udp\nlisten_port = " + std::to_string(port) +
         "\ntarget_host = 127.0.0.1\ntarget_port = " + std::to_string(upstream) +
         "\nmax_connections = " + std::to_string(kMaxConnections) + "\n" +
         (on ? "udp_evict_unconfirmed = true\n" : "");
  return ini;
}

// From the kernel's counters: walking the smaps of thousands of thread
// stacks holds the process's memory map lock for milliseconds, which would
// stall the very relay being measured.
double mib(pid_t pid) {
  return proc_number("/proc/" + std::to_string(pid) + "/status", "VmRSS:") / 1024;
}

// The WARN lines the flood makes: per event without the summary, else once a second.
std::size_t flood_lines(Process& server) {
  return server.count_lines("on route game") + server.count_lines("route game refused") +
         server.count_lines("route game evicted") + server.count_lines("route game dropped");
}

Row run(SpoofedSender& sender, const Settings& s, const std::string& engine, bool on) {
  GameUpstream upstream(/*answers_junk=*/true);
  const int port = free_port();
  TempDir dir;
  Process server(
      server_binary(),
      {"--config", dir.write("server.ini", config(engine, on, port, upstream.port(), s.idle_ms))});
  if (!server.wait_for_line("server started", 30s))
    throw std::runtime_error("the server did not start: " + server.stderr_text());
  Row row;
  const pid_t pid = server.pid();
  row.idle_threads = thread_count(pid);
  row.idle_mib = mib(pid);
  Player player(port, 10ms);
  const std::size_t start = player.mark();
  std::this_thread::sleep_for(2s);  // the quiet phase
  const std::size_t flood_start = player.mark();
  const std::size_t lines_before = flood_lines(server);
  const auto duration = std::chrono::seconds(s.seconds);
  const auto flood_begin = Clock::now();
  {
    Flood flood(sender, port, s.sources, duration);
    // A newcomer halfway through, on a thread of its own while this one samples.
    std::thread joiner([&] {
      std::this_thread::sleep_until(flood_begin + duration / 2);
      row.join_during = join_time(port, 5s);
    });
    while (!flood.done()) {
      row.peak_threads = std::max(row.peak_threads, thread_count(pid));
      row.peak_mib = std::max(row.peak_mib, mib(pid));
      std::this_thread::sleep_for(100ms);
    }
    joiner.join();
  }
  const auto flood_end = Clock::now();
  const std::size_t flood_stop = player.mark();
  std::this_thread::sleep_until(flood_end + 2s);
  row.join_after = join_time(port, 5s);
  row.before = player.phase(start, flood_start);
  row.during = player.phase(flood_start, flood_stop);
  row.lines = flood_lines(server) - lines_before;  // the summary's last line is in by now
  const auto until = flood_end + std::chrono::milliseconds(s.idle_ms) + 10s;
  while (Clock::now() < until) {
    if (thread_count(pid) <= row.idle_threads + 2) {  // the two players' associations may live on
      row.back_s = std::chrono::duration<double>(Clock::now() - flood_end).count();
      break;
    }
    std::this_thread::sleep_for(200ms);
  }
  row.after_mib = mib(pid);
  server.signal(SIGTERM);
  server.wait_exit(10s);
  return row;
}

// The same flood and player straight at the upstream: what the machine
// itself does to the player's round trip, the floor under every row.
Row direct(SpoofedSender& sender, const Settings& s) {
  GameUpstream upstream(/*answers_junk=*/true);
  Row row;
  Player player(upstream.port(), 10ms);
  const std::size_t start = player.mark();
  std::this_thread::sleep_for(2s);
  const std::size_t flood_start = player.mark();
  {
    Flood flood(sender, upstream.port(), s.sources, std::chrono::seconds(s.seconds));
    while (!flood.done()) std::this_thread::sleep_for(100ms);
  }
  const std::size_t flood_stop = player.mark();
  std::this_thread::sleep_for(200ms);  // the last replies
  row.before = player.phase(start, flood_start);
  row.during = player.phase(flood_start, flood_stop);
  return row;
}

std::string join_text(const std::optional<std::chrono::milliseconds>& join) {
  return join ? std::to_string(join->count()) + " ms" : "none in 5 s";
}

void print(const std::string& engine, bool on, const Row& r) {
  std::printf(
      "| %s | %s | %.2f %% | %.2f / %.2f ms | %s | %s | %zu | %zu (idle %zu) | %.1f (idle %.1f) "
      "| %s, %.1f MiB |\n",
      engine.c_str(), on ? "on" : "off", 100 * r.during.kept(), r.before.p99_ms, r.during.p99_ms,
      join_text(r.join_during).c_str(), join_text(r.join_after).c_str(), r.lines, r.peak_threads,
      r.idle_threads, r.peak_mib, r.idle_mib,
      r.back_s < 0 ? "not yet" : ("after " + std::to_string(r.back_s).substr(0, 4) + " s").c_str(),
      r.after_mib);
  std::fflush(stdout);
}

int main_(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) return std::fprintf(stderr, "%s\n", kUsage), 2;
    ++i;
    if (arg == "--sources")
      s.sources = std::atoi(value);
    else if (arg == "--seconds")
      s.seconds = std::atoi(value);
    else if (arg == "--idle-ms")
      s.idle_ms = std::atoi(value);
    else if (arg == "--engine")
      s.engines = {value};
    else if (arg == "--options")
      s.options = {std::string_view(value) == "on"};
    else
      return std::fprintf(stderr, "%s\n", kUsage), 2;
  }
  std::string why;
  std::optional<SpoofedSender> sender = SpoofedSender::open(&why);
  if (!sender) return std::fprintf(stderr, "%s\n", why.c_str()), 1;
  std::printf(
      "%d sources of 127.16.0.0/12 over %d s, max_connections %d, udp_idle_timeout_ms %d\n\n",
      s.sources, s.seconds, kMaxConnections, s.idle_ms);
  std::printf(
      "| engine | options | player's replies during | player's p99 before / during "
      "| join during | join 2 s after | lines | peak threads | peak RSS MiB "
      "| idle threads again | \n|---|---|---|---|---|---|---|---|---|---|\n");
  const Row floor = direct(*sender, s);
  std::printf("| direct | - | %.2f %% | %.2f / %.2f ms | | | | | | |\n", 100 * floor.during.kept(),
              floor.before.p99_ms, floor.during.p99_ms);
  for (const std::string& engine : s.engines) {
    for (const bool on : s.options) print(engine, on, run(*sender, s, engine, on));
  }
  return 0;
}

}  // namespace
}  // namespace tarnwicket::bench

int main(int argc, char** argv) { return tarnwicket::bench::main_(argc, argv); }
