#include "gateway/metric_series.h"

namespace tarnwicket {

std::uint64_t read(const RouteStats& stats, Source source) {
  const ProtocolStats& s = stats.protocol[source.protocol];
  switch (source.field) {
    case kOpen:  // summed modulo 2^64, printed signed
      return static_cast<std::uint64_t>(load(s.open));
    case kAdmitted:
      return load(s.admitted);
    case kConnectFailures:
      return load(s.connect_failures);
    case kBytes:
      return load(s.bytes[source.index]);
    case kDatagrams:
      return load(s.datagrams[source.index]);
    case kRefused:
      return load(s.refused[source.index]);
    case kEvicted:
      return load(s.evicted);
  }
  return 0;
}

namespace {

constexpr const char* kRefusedHelp = "TCP clients closed at once, by reason.";
constexpr const char* kBytesHelp = "Bytes relayed; UDP counts datagram payloads.";
constexpr const char* kDroppedHelp = "UDP datagrams dropped, by reason.";

constexpr Series kSeries[] = {
    {"tarnwicket_tcp_connections", "gauge", "Relayed TCP connections open now.", "", {kTcp, kOpen}},
    {"tarnwicket_tcp_connections_accepted_total",
     "counter",
     "TCP clients given a connection slot.",
     "",
     {kTcp, kAdmitted}},
    {"tarnwicket_tcp_connections_refused_total",
     "counter",
     kRefusedHelp,
     ",reason=\"limit\"",
     {kTcp, kRefused, kLimit}},
    {"tarnwicket_tcp_connections_refused_total",
     "counter",
     kRefusedHelp,
     ",reason=\"per_address_limit\"",
     {kTcp, kRefused, kPerAddress}},
    {"tarnwicket_tcp_connections_refused_total",
     "counter",
     kRefusedHelp,
     ",reason=\"allow_list\"",
     {kTcp, kRefused, kAllowList}},
    {"tarnwicket_tcp_connections_refused_total",
     "counter",
     kRefusedHelp,
     ",reason=\"bad_proxy_header\"",
     {kTcp, kRefused, kBadProxyHeader}},
    {"tarnwicket_tcp_connections_refused_total",
     "counter",
     kRefusedHelp,
     ",reason=\"untrusted_proxy\"",
     {kTcp, kRefused, kUntrustedProxy}},
    {"tarnwicket_tcp_connections_refused_total",
     "counter",
     kRefusedHelp,
     ",reason=\"rate\"",
     {kTcp, kRefused, kRate}},
    {"tarnwicket_tcp_connections_refused_total",
     "counter",
     kRefusedHelp,
     ",reason=\"address_rate\"",
     {kTcp, kRefused, kAddressRate}},
    {"tarnwicket_tcp_connections_refused_total",
     "counter",
     kRefusedHelp,
     ",reason=\"deny_list\"",
     {kTcp, kRefused, kDenyList}},
    {"tarnwicket_upstream_connect_failures_total",
     "counter",
     "Upstream connections that could not be made, resolution failures included.",
     ",protocol=\"tcp\"",
     {kTcp, kConnectFailures}},
    {"tarnwicket_upstream_connect_failures_total",
     "counter",
     "",
     ",protocol=\"udp\"",
     {kUdp, kConnectFailures}},
    {"tarnwicket_relayed_bytes_total",
     "counter",
     kBytesHelp,
     ",protocol=\"tcp\",direction=\"client_to_server\"",
     {kTcp, kBytes, kClientToServer}},
    {"tarnwicket_relayed_bytes_total",
     "counter",
     kBytesHelp,
     ",protocol=\"tcp\",direction=\"server_to_client\"",
     {kTcp, kBytes, kServerToClient}},
    {"tarnwicket_relayed_bytes_total",
     "counter",
     kBytesHelp,
     ",protocol=\"udp\",direction=\"client_to_server\"",
     {kUdp, kBytes, kClientToServer}},
    {"tarnwicket_relayed_bytes_total",
     "counter",
     kBytesHelp,
     ",protocol=\"udp\",direction=\"server_to_client\"",
     {kUdp, kBytes, kServerToClient}},
    {"tarnwicket_udp_associations", "gauge", "UDP associations open now.", "", {kUdp, kOpen}},
    {"tarnwicket_udp_associations_created_total",
     "counter",
     "UDP associations created.",
     "",
     {kUdp, kAdmitted}},
    {"tarnwicket_udp_datagrams_total",
     "counter",
     "UDP datagrams relayed.",
     ",direction=\"client_to_server\"",
     {kUdp, kDatagrams, kClientToServer}},
    {"tarnwicket_udp_datagrams_total",
     "counter",
     "",
     ",direction=\"server_to_client\"",
     {kUdp, kDatagrams, kServerToClient}},
    {"tarnwicket_udp_datagrams_dropped_total",
     "counter",
     kDroppedHelp,
     ",reason=\"limit\"",
     {kUdp, kRefused, kLimit}},
    {"tarnwicket_udp_datagrams_dropped_total",
     "counter",
     kDroppedHelp,
     ",reason=\"per_address_limit\"",
     {kUdp, kRefused, kPerAddress}},
    {"tarnwicket_udp_datagrams_dropped_total",
     "counter",
     kDroppedHelp,
     ",reason=\"allow_list\"",
     {kUdp, kRefused, kAllowList}},
    {"tarnwicket_udp_datagrams_dropped_total",
     "counter",
     kDroppedHelp,
     ",reason=\"send_failed\"",
     {kUdp, kRefused, kSendFailed}},
    {"tarnwicket_udp_datagrams_dropped_total",
     "counter",
     kDroppedHelp,
     ",reason=\"rate\"",
     {kUdp, kRefused, kRate}},
    {"tarnwicket_udp_datagrams_dropped_total",
     "counter",
     kDroppedHelp,
     ",reason=\"address_rate\"",
     {kUdp, kRefused, kAddressRate}},
    {"tarnwicket_udp_datagrams_dropped_total",
     "counter",
     kDroppedHelp,
     ",reason=\"deny_list\"",
     {kUdp, kRefused, kDenyList}},
    {"tarnwicket_udp_datagrams_dropped_total",
     "counter",
     kDroppedHelp,
     ",reason=\"client_rate\"",
     {kUdp, kRefused, kClientRate}},
    {"tarnwicket_udp_associations_evicted_total",
     "counter",
     "Unconfirmed UDP associations ended to make room for a new client.",
     "",
     {kUdp, kEvicted}},
};

}  // namespace

std::span<const Series> route_series() { return kSeries; }

}  // namespace tarnwicket
