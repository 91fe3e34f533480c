// tarnwicket-relay-bench: measures every scenario directly against loopback
// upstreams of its own and through a real tarnwicket-server started for the
// run, and prints the medians side by side.
//
//   tarnwicket-relay-bench [--quick] [--reps N] [--only 1,2,...] [--server PATH]

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bench_util.h"
#include "report.h"
#include "scenarios.h"

namespace tarnwicket::bench {
namespace {

struct Settings {
  std::string server = TARNWICKET_SERVER_BIN;
  int reps = 9;
  double flow_seconds = 2.0;  // bulk, connection rate and UDP flows, per repetition
  int round_trips = 20000;
  int split_writes = 2000;
  std::set<int> only;       // scenario numbers; empty: all
  double udp_rate = 50000;  // offered datagrams per second, below what the direct path drops
};

Settings parse(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--quick") {
      s.reps = 5;
      s.flow_seconds = 0.5;
      s.round_trips = 3000;
      s.split_writes = 400;
    } else if (arg == "--reps" && i + 1 < argc) {
      s.reps = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--only" && i + 1 < argc) {
      std::stringstream list(argv[++i]);
      std::string item;
      while (std::getline(list, item, ',')) s.only.insert(std::atoi(item.c_str()));
    } else if (arg == "--server" && i + 1 < argc) {
      s.server = argv[++i];
    } else {
      throw std::runtime_error(
          "usage: tarnwicket-relay-bench [--quick] [--reps N] [--only 1,2,...] [--server PATH]");
    }
  }
  return s;
}

class Bench {
 public:
  Bench(const Settings& settings, const std::string& dir) : s_(settings) {
    direct_ = Ports{echo_.port(), sink_.port(), udp_echo_.port()};
    relayed_ = Ports{free_port(), free_port(), free_port()};
    std::string ini =
        "[server]\nlisten_address = 127.0.0.1\nconnection_timeout_ms = 300000\n"
        "udp_idle_timeout_ms = 3000\n";
    auto route = [&](const char* name, const char* protocol, int listen, int target) {
      ini += std::string("\n[route:") + name + "]\nprotocol = " + protocol +
             "\nlisten_port = " + std::to_string(listen) +
             "\ntarget_host = 127.0.0.1\ntarget_port = " + std::to_string(target) +
             "\nmax_connections = 20000\n";
    };
    route("tcp-echo", "tcp", relayed_.tcp_echo, direct_.tcp_echo);
    route("tcp-sink", "tcp", relayed_.tcp_sink, direct_.tcp_sink);
    route("udp-echo", "udp", relayed_.udp_echo, direct_.udp_echo);
    server_ = std::make_unique<ServerProcess>(s_.server, dir, ini);
    idle_ = read_process(server_->pid());
  }

  void run() {
    tcp();
    held_tcp(1000);
    held_tcp(4000);
    udp();
    held_udp(1000);
    after_all();
    report_.print();
  }

  int missed() const { return report_.missed(); }

 private:
  // Runs fn against the upstream and then through the gateway, `reps` times,
  // waiting after each relayed run until its connections have wound down.
  void both(const std::function<void(const Ports&, std::vector<double> Row::*)>& fn) {
    for (int rep = 0; rep < s_.reps; ++rep) {
      fn(direct_, &Row::direct);
      fn(relayed_, &Row::gateway);
      settle();
    }
  }

  // Whether the scenario was asked for; announces it on standard error.
  bool section(int scenario, const char* what) {
    if (!s_.only.empty() && s_.only.count(scenario) == 0) return false;
    std::fprintf(stderr, "... %s\n", what);
    return true;
  }

  void settle() { wait_for_threads(server_->pid(), idle_.threads + live_udp_threads_, 20); }

  void tcp() {
    if (section(1, "1. TCP bulk")) {
      Row& one = report_.add("1. TCP bulk, 1 stream", "MiB/s", Goal::kRatioAtLeast, 0.75);
      Row& four = report_.add("1. TCP bulk, 4 streams", "MiB/s");
      both([&](const Ports& p, std::vector<double> Row::*side) {
        (one.*side).push_back(tcp_bulk_mib_per_s(p.tcp_sink, sink_, 1, s_.flow_seconds));
        (four.*side).push_back(tcp_bulk_mib_per_s(p.tcp_sink, sink_, 4, s_.flow_seconds));
      });
    }
    if (section(2, "2. TCP round trip")) {
      Row& rtt50 = report_.add("2. TCP round trip 64 B, p50", "us", Goal::kRatioAtMost, 3.5);
      Row& rtt99 = report_.add("2. TCP round trip 64 B, p99", "us");
      both([&](const Ports& p, std::vector<double> Row::*side) {
        const Latency l = tcp_round_trip(p.tcp_echo, s_.round_trips, 20);
        (rtt50.*side).push_back(l.p50_us);
        (rtt99.*side).push_back(l.p99_us);
      });
    }
    if (section(3, "3. split write")) {
      Row& split50 = report_.add("3. split write 4+60 B, p50", "us", Goal::kRatioAtMost, 2);
      Row& split99 = report_.add("3. split write 4+60 B, p99", "us");
      both([&](const Ports& p, std::vector<double> Row::*side) {
        const Latency l = tcp_split_write(p.tcp_echo, s_.split_writes, 20);
        (split50.*side).push_back(l.p50_us);
        (split99.*side).push_back(l.p99_us);
      });
    }
    if (section(4, "4. new TCP connections")) {
      Row& rate =
          report_.add("4. new TCP connections, 4 workers", "conn/s", Goal::kRatioAtLeast, 0.3);
      both([&](const Ports& p, std::vector<double> Row::*side) {
        (rate.*side).push_back(tcp_connections_per_s(p.tcp_echo, 4, s_.flow_seconds * 2));
      });
    }
    if (section(5, "5. 100 simultaneous TCP clients")) {
      Row& first50 =
          report_.add("5. 100 TCP clients at once, first echo p50", "ms", Goal::kRatioAtMost, 6);
      Row& first99 = report_.add("5. 100 TCP clients at once, first echo p99", "ms");
      both([&](const Ports& p, std::vector<double> Row::*side) {
        const Latency l = tcp_burst_first_echo(p.tcp_echo, 100);
        (first50.*side).push_back(l.p50_us / 1000);
        (first99.*side).push_back(l.p99_us / 1000);
      });
    }
  }

  void held_tcp(int count) {
    if (!section(6, ("6. " + std::to_string(count) + " held TCP connections").c_str())) return;
    const std::string n = std::to_string(count);
    Row& open = report_.add("6. open " + n + " idle connections", "s");
    Row& threads =
        report_.add("6. threads per held connection (" + n + ")", "threads", Goal::kValueEquals, 3);
    Row& pss = report_.add("6. PSS per held connection (" + n + ")", "KiB", Goal::kValueAtMost, 16);
    Row& rss = report_.add("6. RSS per held connection (" + n + ")", "KiB");
    Row& kernel = report_.add("6. kernel mem, system-wide, per conn (" + n + ")", "KiB");
    open.direct.push_back(tcp_hold(direct_.tcp_echo, count, 60).open_seconds);
    settle();
    const ProcessMemory before = read_process(server_->pid());
    const KernelMemory kbefore = read_kernel_memory();
    HeldConnections held = tcp_hold(relayed_.tcp_echo, count, 60);
    const ProcessMemory after = read_process(server_->pid());
    const KernelMemory kafter = read_kernel_memory();
    const double c = static_cast<double>(held.sockets.size());
    open.gateway.push_back(held.open_seconds);
    threads.gateway.push_back((after.threads - before.threads) / c);
    pss.gateway.push_back((after.pss_kib - before.pss_kib) / c);
    rss.gateway.push_back((after.rss_kib - before.rss_kib) / c);
    kernel.gateway.push_back((kafter.slab_kib + kafter.kernel_stack_kib + kafter.page_tables_kib -
                              kbefore.slab_kib - kbefore.kernel_stack_kib -
                              kbefore.page_tables_kib) /
                             c);
    if (held.failures != 0) std::fprintf(stderr, "    %zu connections failed\n", held.failures);
    held.sockets.clear();
    settle();
  }

  void udp() {
    live_udp_threads_ = 100000;  // associations end by their idle time-out: no waiting
    if (section(7, "7. UDP round trip")) {
      Row& rtt50 = report_.add("7. UDP round trip 64 B, p50", "us", Goal::kRatioAtMost, 2.5);
      Row& rtt99 = report_.add("7. UDP round trip 64 B, p99", "us");
      both([&](const Ports& p, std::vector<double> Row::*side) {
        const Latency l = udp_round_trip(p.udp_echo, s_.round_trips, 20);
        (rtt50.*side).push_back(l.p50_us);
        (rtt99.*side).push_back(l.p99_us);
      });
    }
    if (section(8, "8. UDP throughput")) {
      Row& one =
          report_.add("8. UDP 1 client, datagrams relayed", "dgram/s", Goal::kRatioAtLeast, 0.3);
      Row& one_loss = report_.add("8. UDP 1 client, loss", "%");
      Row& many = report_.add("8. UDP 64 clients, datagrams relayed", "dgram/s");
      Row& many_loss = report_.add("8. UDP 64 clients, loss", "%");
      both([&](const Ports& p, std::vector<double> Row::*side) {
        UdpFlow f = udp_throughput(p.udp_echo, 1, s_.udp_rate, s_.flow_seconds * 2);
        (one.*side).push_back(f.relayed_per_s);
        (one_loss.*side).push_back(f.loss * 100);
        f = udp_throughput(p.udp_echo, 64, s_.udp_rate, s_.flow_seconds * 2);
        (many.*side).push_back(f.relayed_per_s);
        (many_loss.*side).push_back(f.loss * 100);
      });
    }
    if (section(9, "9. 100 new UDP clients")) {
      Row& first50 =
          report_.add("9. 100 UDP clients at once, first echo p50", "ms", Goal::kRatioAtMost, 5);
      Row& first99 = report_.add("9. 100 UDP clients at once, first echo p99", "ms");
      both([&](const Ports& p, std::vector<double> Row::*side) {
        const Latency l = udp_burst_first_echo(p.udp_echo, 100);
        (first50.*side).push_back(l.p50_us / 1000);
        (first99.*side).push_back(l.p99_us / 1000);
      });
    }
  }

  void held_udp(int count) {
    if (!section(6, "6. held UDP associations")) return;
    live_udp_threads_ = 0;
    wait_for_threads(server_->pid(), idle_.threads, 20);
    const std::string n = std::to_string(count);
    Row& threads =
        report_.add("6. threads per UDP association (" + n + ")", "threads", Goal::kValueEquals, 1);
    Row& pss = report_.add("6. PSS per UDP association (" + n + ")", "KiB");
    const ProcessMemory before = read_process(server_->pid());
    HeldConnections held = udp_hold(relayed_.udp_echo, count, 30);
    const ProcessMemory after = read_process(server_->pid());
    const double c = static_cast<double>(held.sockets.size());
    threads.gateway.push_back((after.threads - before.threads) / c);
    pss.gateway.push_back((after.pss_kib - before.pss_kib) / c);
  }

  void after_all() {
    if (!section(10, "10. back to idle, SIGTERM")) return;
    const bool idle = wait_for_threads(server_->pid(), idle_.threads, 30);
    const ProcessMemory now = read_process(server_->pid());
    report_
        .add("10. threads after the run (idle " + std::to_string(idle_.threads) + ")", "threads",
             Goal::kValueEquals, idle_.threads)
        .gateway.push_back(idle ? static_cast<double>(now.threads) : NAN);
    report_.add("10. PSS growth over idle after the run", "KiB")
        .gateway.push_back(now.pss_kib - idle_.pss_kib);
    const double exit_seconds = server_->terminate();
    Row& exit_row = report_.add("10. SIGTERM to exit", "ms", Goal::kValueAtMost, 200);
    exit_row.gateway.push_back(server_->exited_cleanly() ? exit_seconds * 1000 : NAN);
  }

  Settings s_;
  TcpUpstream echo_{TcpUpstream::Mode::kEcho};
  TcpUpstream sink_{TcpUpstream::Mode::kSink};
  UdpEcho udp_echo_;
  Ports direct_;
  Ports relayed_;
  std::unique_ptr<ServerProcess> server_;
  ProcessMemory idle_;
  int live_udp_threads_ = 0;
  Report report_;
};

}  // namespace
}  // namespace tarnwicket::bench

int main(int argc, char** argv) {
  using namespace tarnwicket::bench;
  try {
    const Settings settings = parse(argc, argv);
    raise_fd_limit();
    char pattern[] = "/tmp/tarnwicket-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
      throw std::runtime_error("cannot make a temporary directory");
    const std::string dir = pattern;
    int missed = 0;
    {
      const auto start = Clock::now();
      Bench bench(settings, dir);
      bench.run();
      missed = bench.missed();
      std::printf("\n%d goal(s) missed; %.0f s\n", missed, seconds_since(start));
    }
    std::filesystem::remove_all(dir);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "relay bench failed: %s\n", e.what());
    return 1;
  }
}
