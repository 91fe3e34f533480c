#pragma once

// One run of the relay benchmark: the upstreams, the contenders, and every
// scenario interleaved over them, repetition by repetition.

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "contenders.h"
#include "report.h"
#include "scenarios.h"

namespace tarnwicket::bench {

struct Settings {
  std::vector<ContenderSetup> contenders;  // tarnwicket builds first: the goals are the first's
  int reps = 9;
  double flow_seconds = 2.0;  // bulk, connection rate and UDP flows, per repetition
  int round_trips = 20000;
  int split_writes = 2000;
  std::set<int> only;       // scenario numbers; empty: all
  double udp_rate = 50000;  // offered datagrams per second, below what the direct path drops
  bool admin = false;       // the servers' admin listener on
  int udp_buffer = 0;       // udp_receive_buffer_bytes of the UDP route; 0: the kernel's
};

class Bench {
 public:
  explicit Bench(const Settings& settings);
  void run();
  int missed() const { return report_.missed(); }

 private:
  // Measures one contender (or direct, Row::kDirect) into its column.
  using Measure = std::function<void(const Ports&, int column)>;
  enum class Needs { kTcp, kUdp };

  void interleaved(const Measure& fn, Needs needs = Needs::kTcp);
  bool section(int scenario, const std::string& what);
  bool wait_for_threads(int column, double threads, std::chrono::seconds deadline);
  void settle();
  std::string server_ini(const Ports& listen) const;

  void tcp();
  void held_tcp(int count);
  void udp();
  void udp_burst();
  void held_udp(int count);
  void after_all();

  static constexpr int kMaxConnections = 20000;
  Settings s_;
  TcpUpstream echo_{TcpUpstream::Mode::kEcho};
  TcpUpstream sink_{TcpUpstream::Mode::kSink};
  UdpEcho udp_echo_;
  Ports direct_;
  TempDir dir_;
  std::vector<std::unique_ptr<Contender>> contenders_;
  std::vector<Memory> idle_;  // each contender's, once started
  double live_udp_threads_ = 0;
  Report report_;
};

}  // namespace tarnwicket::bench
