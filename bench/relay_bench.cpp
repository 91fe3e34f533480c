// tarnwicket-relay-bench: measures every scenario directly against loopback
// upstreams of its own and through a real tarnwicket-server started for the
// run, and prints the medians side by side.
//
//   tarnwicket-relay-bench [--quick] [--reps N] [--only 1,2,...] [--server PATH]
//                          [--admin] [--udp-buffer BYTES]
//
// --admin runs the server with its admin listener on; --udp-buffer sets the
// UDP route's receive buffer: both to compare a run with and without.

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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
  std::string server = server_binary().string();
  int reps = 9;
  double flow_seconds = 2.0;  // bulk, connection rate and UDP flows, per repetition
  int round_trips = 20000;
  int split_writes = 2000;
  std::set<int> only;       // scenario numbers; empty: all
  double udp_rate = 50000;  // offered datagrams per second, below what the direct path drops
  bool admin = false;       // the admin listener on
  int udp_buffer = 0;       // udp_receive_buffer_bytes of the UDP route; 0: the kernel's
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
    } else if (arg == "--admin") {
      s.admin = true;
    } else if (arg == "--udp-buffer" && i + 1 < argc) {
      s.udp_buffer = std::atoi(argv[++i]);
    } else {
      throw std::runtime_error(
          "usage: tarnwicket-relay-bench [--quick] [--reps N] [--only 1,2,...] [--server PATH] "
          "[--admin] [--udp-buffer BYTES]");
    }
  }
  return s;
}

// The server's memory and threads, and the system-wide kernel memory that
// grows with sockets and threads.
struct Memory {
  double rss_kib = 0;
  double pss_kib = 0;
  double threads = 0;
  double kernel_kib = 0;  // Slab + KernelStack + PageTables
};

Memory read_memory(pid_t pid) {
  double kernel = 0;
  for (const char* key : {"Slab:", "KernelStack:", "PageTables:"})
    kernel += proc_number("/proc/meminfo", key);
  return {resident_kib(pid), proportional_kib(pid), static_cast<double>(thread_count(pid)), kernel};
}

class Bench {
 public:
  explicit Bench(const Settings& settings) : s_(settings) {
    direct_ = Ports{echo_.port(), sink_.port(), udp_echo_.port()};
    relayed_ = Ports{free_port(), free_port(), free_port()};
    const std::string buffer =
        s_.udp_buffer > 0 ? "udp_receive_buffer_bytes = " + std::to_string(s_.udp_buffer) + "\n"
                          : "";
    std::string ini = server_ini(
        {{"tcp-echo", "tcp", relayed_.tcp_echo, "127.0.0.1", direct_.tcp_echo, kMaxConnections},
         {"tcp-sink", "tcp", relayed_.tcp_sink, "127.0.0.1", direct_.tcp_sink, kMaxConnections},
         {"udp-echo", "udp", relayed_.udp_echo, "127.0.0.1", direct_.udp_echo, kMaxConnections,
          true, buffer}},
        300000, 3000);
    if (s_.admin) {
      ini.insert(ini.find('\n') + 1, "admin_port = " + std::to_string(free_port()) + "\n");
    }
    server_ = std::make_unique<Process>(
        s_.server, std::vector<std::string>{"--config", dir_.write("server.ini", ini).string()});
    if (!server_->wait_for_line("server started", 10s))
      throw std::runtime_error("the server did not start:\n" + server_->stdout_text() +
                               server_->stderr_text());
    idle_ = read_memory(server_->pid());
  }

  void run() {
    tcp();
    held_tcp(1000);
    held_tcp(4000);
    udp();
    udp_burst();
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

  // Waits until the server runs at most `threads` threads; false at the deadline.
  bool wait_for_threads(double threads, std::chrono::seconds deadline) {
    const auto now = eventually([&] { return static_cast<double>(thread_count(server_->pid())); },
                                [&](double n) { return n <= threads; }, deadline);
    return now <= threads;
  }

  void settle() { wait_for_threads(idle_.threads + live_udp_threads_, 20s); }

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
    const Memory before = read_memory(server_->pid());
    HeldConnections held = tcp_hold(relayed_.tcp_echo, count, 60);
    const Memory after = read_memory(server_->pid());
    const double c = static_cast<double>(held.sockets.size());
    open.gateway.push_back(held.open_seconds);
    threads.gateway.push_back((after.threads - before.threads) / c);
    pss.gateway.push_back((after.pss_kib - before.pss_kib) / c);
    rss.gateway.push_back((after.rss_kib - before.rss_kib) / c);
    kernel.gateway.push_back((after.kernel_kib - before.kernel_kib) / c);
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

  void udp_burst() {
    if (!section(11, "11. burst of new UDP clients")) return;
    Row& answered = report_.add("11. 2000 new UDP clients at once, answered", "%");
    both([&](const Ports& p, std::vector<double> Row::*side) {
      const Latency l = udp_burst_first_echo(p.udp_echo, 2000);
      (answered.*side).push_back(100.0 * static_cast<double>(2000 - l.failures) / 2000);
    });
  }

  void held_udp(int count) {
    if (!section(6, "6. held UDP associations")) return;
    live_udp_threads_ = 0;
    wait_for_threads(idle_.threads, 20s);
    const std::string n = std::to_string(count);
    Row& threads =
        report_.add("6. threads per UDP association (" + n + ")", "threads", Goal::kValueEquals, 1);
    Row& pss = report_.add("6. PSS per UDP association (" + n + ")", "KiB");
    const Memory before = read_memory(server_->pid());
    HeldConnections held = udp_hold(relayed_.udp_echo, count, 30);
    const Memory after = read_memory(server_->pid());
    const double c = static_cast<double>(held.sockets.size());
    threads.gateway.push_back((after.threads - before.threads) / c);
    pss.gateway.push_back((after.pss_kib - before.pss_kib) / c);
  }

  void after_all() {
    if (!section(10, "10. back to idle, SIGTERM")) return;
    const bool idle = wait_for_threads(idle_.threads, 30s);
    const Memory now = read_memory(server_->pid());
    report_
        .add("10. threads after the run (idle " + std::to_string(static_cast<int>(idle_.threads)) +
                 ")",
             "threads", Goal::kValueEquals, idle_.threads)
        .gateway.push_back(idle ? now.threads : NAN);
    report_.add("10. PSS growth over idle after the run", "KiB")
        .gateway.push_back(now.pss_kib - idle_.pss_kib);
    const auto start = Clock::now();
    server_->signal(SIGTERM);
    const bool clean = server_->wait_exit(10s) == 0;
    Row& exit_row = report_.add("10. SIGTERM to exit", "ms", Goal::kValueAtMost, 200);
    exit_row.gateway.push_back(clean ? seconds_since(start) * 1000 : NAN);
  }

  static constexpr int kMaxConnections = 20000;
  Settings s_;
  TcpUpstream echo_{TcpUpstream::Mode::kEcho};
  TcpUpstream sink_{TcpUpstream::Mode::kSink};
  UdpEcho udp_echo_;
  Ports direct_;
  Ports relayed_;
  TempDir dir_;
  std::unique_ptr<Process> server_;
  Memory idle_;
  double live_udp_threads_ = 0;
  Report report_;
};

// Thousands of held connections need more descriptors than the usual soft limit.
void raise_fd_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace
}  // namespace tarnwicket::bench

int main(int argc, char** argv) {
  using namespace tarnwicket::bench;
  try {
    const Settings settings = parse(argc, argv);
    raise_fd_limit();
    const auto start = Clock::now();
    Bench bench(settings);
    bench.run();
    std::printf("\n%d goal(s) missed; %.0f s\n", bench.missed(), seconds_since(start));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "relay bench failed: %s\n", e.what());
    return 1;
  }
}
