#include "bench.h"

#include <cstdio>

namespace tarnwicket::bench {

namespace {

std::vector<std::string> names(const Settings& s) {
  std::vector<std::string> all;
  for (const ContenderSetup& c : s.contenders) all.push_back(c.name);
  return all;
}

}  // namespace

Bench::Bench(const Settings& settings) : s_(settings), report_(names(settings)) {
  direct_ = Ports{echo_.port(), sink_.port(), udp_echo_.port()};
  const ServerIni ini = [this](const Ports& listen) { return server_ini(listen); };
  for (const ContenderSetup& setup : s_.contenders) {
    contenders_.push_back(std::make_unique<Contender>(setup, direct_, dir_, ini));
    idle_.push_back(contenders_.back()->memory());
  }
}

std::string Bench::server_ini(const Ports& listen) const {
  const std::string buffer =
      s_.udp_buffer > 0 ? "udp_receive_buffer_bytes = " + std::to_string(s_.udp_buffer) + "\n" : "";
  std::string ini = test::server_ini(
      {{"tcp-echo", "tcp", listen.tcp_echo, "127.0.0.1", direct_.tcp_echo, kMaxConnections},
       {"tcp-sink", "tcp", listen.tcp_sink, "127.0.0.1", direct_.tcp_sink, kMaxConnections},
       {"udp-echo", "udp", listen.udp_echo, "127.0.0.1", direct_.udp_echo, kMaxConnections, true,
        buffer}},
      300000, 3000);
  if (s_.admin)
    ini.insert(ini.find('\n') + 1, "admin_port = " + std::to_string(free_port()) + "\n");
  return ini;
}

void Bench::run() {
  tcp();
  held_tcp(1000);
  held_tcp(4000);
  udp();
  udp_burst();
  held_udp(1000);
  after_all();
  report_.print();
}

// Each repetition runs direct and then every contender, starting one further
// along each time so that none always follows the direct run, and waits
// after each contender until its connections have wound down.
void Bench::interleaved(const Measure& fn, Needs needs) {
  const int n = static_cast<int>(contenders_.size());
  for (int rep = 0; rep < s_.reps; ++rep) {
    fn(direct_, Row::kDirect);
    for (int i = 0; i < n; ++i) {
      const int c = (rep + i) % n;
      if (needs == Needs::kUdp && !contenders_[c]->has_udp()) continue;
      fn(contenders_[c]->ports(), c);
      settle();
    }
  }
}

bool Bench::section(int scenario, const std::string& what) {
  if (!s_.only.empty() && s_.only.count(scenario) == 0) return false;
  std::fprintf(stderr, "... %s\n", what.c_str());
  return true;
}

bool Bench::wait_for_threads(int column, double threads, std::chrono::seconds deadline) {
  const Contender& c = *contenders_[static_cast<std::size_t>(column)];
  const auto now =
      eventually([&] { return c.threads(); }, [&](double n) { return n <= threads; }, deadline);
  return now <= threads;
}

void Bench::settle() {
  for (std::size_t c = 0; c < contenders_.size(); ++c)
    wait_for_threads(static_cast<int>(c), idle_[c].threads + live_udp_threads_, 20s);
}

void Bench::tcp() {
  if (section(1, "1. TCP bulk")) {
    Row& one = report_.add("1. TCP bulk, 1 stream", "MiB/s", Goal::kRatioAtLeast, 0.75);
    Row& four = report_.add("1. TCP bulk, 4 streams", "MiB/s");
    interleaved([&](const Ports& p, int c) {
      one.at(c).push_back(tcp_bulk_mib_per_s(p.tcp_sink, sink_, 1, s_.flow_seconds));
      four.at(c).push_back(tcp_bulk_mib_per_s(p.tcp_sink, sink_, 4, s_.flow_seconds));
    });
  }
  if (section(2, "2. TCP round trip")) {
    Row& rtt50 = report_.add("2. TCP round trip 64 B, p50", "us", Goal::kRatioAtMost, 3.5);
    Row& rtt99 = report_.add("2. TCP round trip 64 B, p99", "us");
    interleaved([&](const Ports& p, int c) {
      const Latency l = tcp_round_trip(p.tcp_echo, s_.round_trips, 20);
      rtt50.at(c).push_back(l.p50_us);
      rtt99.at(c).push_back(l.p99_us);
    });
  }
  if (section(3, "3. split write")) {
    Row& split50 = report_.add("3. split write 4+60 B, p50", "us", Goal::kRatioAtMost, 2);
    Row& split99 = report_.add("3. split write 4+60 B, p99", "us");
    interleaved([&](const Ports& p, int c) {
      const Latency l = tcp_split_write(p.tcp_echo, s_.split_writes, 20);
      split50.at(c).push_back(l.p50_us);
      split99.at(c).push_back(l.p99_us);
    });
  }
  if (section(4, "4. new TCP connections")) {
    Row& rate =
        report_.add("4. new TCP connections, 4 workers", "conn/s", Goal::kRatioAtLeast, 0.3);
    interleaved([&](const Ports& p, int c) {
      rate.at(c).push_back(tcp_connections_per_s(p.tcp_echo, 4, s_.flow_seconds * 2));
    });
  }
  if (section(5, "5. 100 simultaneous TCP clients")) {
    Row& first50 =
        report_.add("5. 100 TCP clients at once, first echo p50", "ms", Goal::kRatioAtMost, 6);
    Row& first99 = report_.add("5. 100 TCP clients at once, first echo p99", "ms");
    interleaved([&](const Ports& p, int c) {
      const Latency l = tcp_burst_first_echo(p.tcp_echo, 100);
      first50.at(c).push_back(l.p50_us / 1000);
      first99.at(c).push_back(l.p99_us / 1000);
    });
  }
}

void Bench::udp() {
  live_udp_threads_ = 100000;  // associations end by their idle time-out: no waiting
  if (section(7, "7. UDP round trip")) {
    Row& rtt50 = report_.add("7. UDP round trip 64 B, p50", "us", Goal::kRatioAtMost, 2.5);
    Row& rtt99 = report_.add("7. UDP round trip 64 B, p99", "us");
    interleaved(
        [&](const Ports& p, int c) {
          const Latency l = udp_round_trip(p.udp_echo, s_.round_trips, 20);
          rtt50.at(c).push_back(l.p50_us);
          rtt99.at(c).push_back(l.p99_us);
        },
        Needs::kUdp);
  }
  if (section(8, "8. UDP throughput")) {
    Row& one =
        report_.add("8. UDP 1 client, datagrams relayed", "dgram/s", Goal::kRatioAtLeast, 0.3);
    Row& one_loss = report_.add("8. UDP 1 client, loss", "%");
    Row& many = report_.add("8. UDP 64 clients, datagrams relayed", "dgram/s");
    Row& many_loss = report_.add("8. UDP 64 clients, loss", "%");
    interleaved(
        [&](const Ports& p, int c) {
          UdpFlow f = udp_throughput(p.udp_echo, 1, s_.udp_rate, s_.flow_seconds * 2);
          one.at(c).push_back(f.relayed_per_s);
          one_loss.at(c).push_back(f.loss * 100);
          f = udp_throughput(p.udp_echo, 64, s_.udp_rate, s_.flow_seconds * 2);
          many.at(c).push_back(f.relayed_per_s);
          many_loss.at(c).push_back(f.loss * 100);
        },
        Needs::kUdp);
  }
  if (section(9, "9. 100 new UDP clients")) {
    Row& first50 =
        report_.add("9. 100 UDP clients at once, first echo p50", "ms", Goal::kRatioAtMost, 5);
    Row& first99 = report_.add("9. 100 UDP clients at once, first echo p99", "ms");
    interleaved(
        [&](const Ports& p, int c) {
          const Latency l = udp_burst_first_echo(p.udp_echo, 100);
          first50.at(c).push_back(l.p50_us / 1000);
          first99.at(c).push_back(l.p99_us / 1000);
        },
        Needs::kUdp);
  }
}

void Bench::udp_burst() {
  if (!section(11, "11. burst of new UDP clients")) return;
  Row& answered = report_.add("11. 2000 new UDP clients at once, answered", "%");
  interleaved(
      [&](const Ports& p, int c) {
        const Latency l = udp_burst_first_echo(p.udp_echo, 2000);
        answered.at(c).push_back(100.0 * static_cast<double>(2000 - l.failures) / 2000);
      },
      Needs::kUdp);
}

}  // namespace tarnwicket::bench
