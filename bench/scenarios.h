#pragma once

// The measured scenarios. Each takes the ports to talk to (the upstreams'
// own for the direct run, the gateway's for the relayed run), is bounded in
// count and in time, and returns raw figures; the caller takes medians.

#include <cstddef>
#include <vector>

#include "bench_util.h"

namespace tarnwicket::bench {

struct Ports {
  int tcp_echo = 0;
  int tcp_sink = 0;
  int udp_echo = 0;
};

struct Latency {
  double p50_us = 0;
  double p99_us = 0;
  std::size_t failures = 0;
};

// TCP (scenarios_tcp.cpp).
double tcp_bulk_mib_per_s(int sink_port, const TcpUpstream& sink, int streams, double seconds);
Latency tcp_round_trip(int echo_port, int count, double max_seconds);
Latency tcp_split_write(int echo_port, int count, double max_seconds);
double tcp_connections_per_s(int echo_port, int workers, double seconds);
Latency tcp_burst_first_echo(int echo_port, int clients);  // from the common start

// Opens `count` connections, each confirmed by a one-byte echo.
struct HeldConnections {
  std::vector<Fd> sockets;
  double open_seconds = 0;
  std::size_t failures = 0;
};
HeldConnections tcp_hold(int echo_port, int count, double max_seconds);

// UDP (scenarios_udp.cpp).
Latency udp_round_trip(int echo_port, int count, double max_seconds);
struct UdpFlow {
  double relayed_per_s = 0;
  double loss = 0;  // fraction of the datagrams sent that never came back
};
UdpFlow udp_throughput(int echo_port, int clients, double offered_per_s, double seconds);
Latency udp_burst_first_echo(int echo_port, int clients);
// Makes `count` associations, each confirmed by one echoed datagram.
HeldConnections udp_hold(int echo_port, int count, double max_seconds);

}  // namespace tarnwicket::bench
