// The session families of the exposition. Bucket counts are kept apart and
// summed here into Prometheus's cumulative `le` buckets; the count is the
// +Inf bucket, so the two always agree within a scrape.

#include <cstdint>
#include <cstdio>

#include "gateway/histogram.h"
#include "gateway/metric_series.h"
#include "gateway/session.h"

namespace tarnwicket {

namespace {

void family(std::ostream& out, const char* name, const char* type, const char* help) {
  out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

// Microseconds as seconds, exactly: "12.000345".
void seconds(std::ostream& out, std::uint64_t micros) {
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, "%06u", static_cast<unsigned>(micros % 1'000'000));
  out << micros / 1'000'000 << '.' << fraction;
}

void ended(std::ostream& out, const char* name, const char* help, Protocol protocol,
           const NamedRecords& names) {
  family(out, name, "counter", help);
  for (const auto& [route, records] : names) {
    for (std::size_t e = 0; e < kSessionEnds; ++e) {
      std::uint64_t sum = 0;
      for (const RouteStats* stats : records) sum += load(stats->protocol[protocol].ended[e]);
      out << name << "{route=\"" << route << "\",reason=\""
          << session_end_name(static_cast<SessionEnd>(e)) << "\"} " << sum << '\n';
    }
  }
}

using Pick = const Histogram& (*)(const RouteStats&);

void histogram(std::ostream& out, const char* name, const char* help, const Buckets& buckets,
               Pick pick, const NamedRecords& names) {
  family(out, name, "histogram", help);
  for (const auto& [route, records] : names) {
    std::uint64_t cumulative = 0, sum = 0;
    for (std::size_t i = 0; i <= buckets.bounds.size(); ++i) {
      for (const RouteStats* stats : records) cumulative += load(pick(*stats).counts[i]);
      out << name << "_bucket{route=\"" << route << "\",le=\""
          << (i < buckets.labels.size() ? buckets.labels[i] : "+Inf") << "\"} " << cumulative
          << '\n';
    }
    for (const RouteStats* stats : records) sum += load(pick(*stats).sum_micros);
    out << name << "_sum{route=\"" << route << "\"} ";
    seconds(out, sum);
    out << '\n' << name << "_count{route=\"" << route << "\"} " << cumulative << '\n';
  }
}

}  // namespace

void session_series(std::ostream& out, const NamedRecords& names) {
  ended(out, "tarnwicket_tcp_connections_ended_total", "Relayed TCP connections ended, by reason.",
        kTcp, names);
  ended(out, "tarnwicket_udp_associations_ended_total", "UDP associations ended, by reason.", kUdp,
        names);
  histogram(
      out, "tarnwicket_tcp_connection_duration_seconds",
      "How long relayed TCP connections lasted, observed when they end.", kSessionBuckets,
      [](const RouteStats& s) -> const Histogram& { return s.tcp().duration; }, names);
  histogram(
      out, "tarnwicket_udp_association_duration_seconds",
      "How long UDP associations lasted, observed when they end.", kSessionBuckets,
      [](const RouteStats& s) -> const Histogram& { return s.udp().duration; }, names);
  histogram(
      out, "tarnwicket_upstream_connect_duration_seconds",
      "How long successful TCP connects to the upstream took.", kConnectBuckets,
      [](const RouteStats& s) -> const Histogram& { return s.upstream_connect; }, names);
}

}  // namespace tarnwicket
