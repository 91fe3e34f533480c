#include "gateway/metrics.h"

#include <cstdint>
#include <map>
#include <sstream>
#include <string_view>

#include "gateway/process_stats.h"

#ifndef TARNWICKET_VERSION
#error "TARNWICKET_VERSION must be defined by the build"
#endif

namespace tarnwicket {

namespace {

enum Field : std::uint8_t { kOpen, kAdmitted, kConnectFailures, kBytes, kDatagrams, kRefused };

// Where a series' value lives in a route's counters.
struct Source {
  Protocol protocol;
  Field field;
  std::uint8_t index = 0;  // the Direction or the Refusal
};

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
  }
  return 0;
}

// One series per route name. Rows of one family follow each other; the
// first of them carries its help and type.
struct Series {
  const char* family;
  const char* type;
  const char* help;
  const char* labels;  // after the route label, as `,k="v"`
  Source source;
};

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
};

void family(std::ostringstream& out, const char* name, const char* type, const char* help) {
  out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

template <class T>
void single(std::ostringstream& out, const char* name, const char* type, const char* help,
            const T& value) {
  family(out, name, type, help);
  out << name << ' ' << value << '\n';
}

}  // namespace

std::string escape_label(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string metrics_exposition(const std::vector<RouteView>& routes, const GatewayView& gateway) {
  // Names in the order they first appear, each with its records.
  std::vector<std::pair<std::string, std::vector<const RouteStats*>>> names;
  std::map<std::string, std::size_t, std::less<>> index;
  for (const RouteView& r : routes) {
    const auto [it, fresh] = index.emplace(r.name, names.size());
    if (fresh) names.push_back({escape_label(r.name), {}});
    names[it->second].second.push_back(&r.stats);
  }

  std::ostringstream out;
  out.precision(17);
  family(out, "tarnwicket_build_info", "gauge", "Version of the running server; always 1.");
  out << "tarnwicket_build_info{version=\"" << escape_label(TARNWICKET_VERSION) << "\"} 1\n";
  const char* last_family = "";
  for (const Series& series : kSeries) {
    if (std::string_view(series.family) != last_family) {
      family(out, series.family, series.type, series.help);
      last_family = series.family;
    }
    const bool gauge = std::string_view(series.type) == "gauge";
    for (const auto& [name, records] : names) {
      std::uint64_t sum = 0;
      for (const RouteStats* stats : records) sum += read(*stats, series.source);
      out << series.family << "{route=\"" << name << '"' << series.labels << "} ";
      if (gauge) {
        out << static_cast<std::int64_t>(sum) << '\n';
      } else {
        out << sum << '\n';
      }
    }
  }

  single(out, "tarnwicket_config_last_reload_successful", "gauge",
         "Whether the last reload was applied; 1 before the first.",
         gateway.last_reload_successful ? 1 : 0);
  single(out, "tarnwicket_config_last_reload_success_timestamp_seconds", "gauge",
         "When the configuration in force was applied, at start or by a reload.",
         gateway.last_reload_success_seconds);
  family(out, "tarnwicket_config_reloads_total", "counter", "Reloads by result.");
  out << "tarnwicket_config_reloads_total{result=\"success\"} " << gateway.reloads_succeeded
      << "\ntarnwicket_config_reloads_total{result=\"failure\"} " << gateway.reloads_failed << '\n';
  single(out, "tarnwicket_draining", "gauge", "Whether the gateway is draining.",
         gateway.draining ? 1 : 0);

  const ProcessStats p = read_process_stats();
  single(out, "process_start_time_seconds", "gauge", "Start time of the process since the epoch.",
         p.start_time_seconds);
  single(out, "process_cpu_seconds_total", "counter", "User and system CPU time spent.",
         p.cpu_seconds);
  single(out, "process_resident_memory_bytes", "gauge", "Resident memory size.", p.resident_bytes);
  single(out, "process_open_fds", "gauge", "Open file descriptors.", p.open_fds);
  single(out, "process_max_fds", "gauge", "Limit of open file descriptors.", p.max_fds);
  single(out, "tarnwicket_threads", "gauge", "Threads of the process.", p.threads);
  return out.str();
}

void add_counters(RouteStats& into, const RouteStats& from) {
  for (std::size_t p = 0; p < kProtocols; ++p) {
    ProtocolStats& to = into.protocol[p];
    const ProtocolStats& f = from.protocol[p];
    add(to.admitted, load(f.admitted));
    add(to.connect_failures, load(f.connect_failures));
    for (std::size_t d = 0; d < 2; ++d) {
      add(to.bytes[d], load(f.bytes[d]));
      add(to.datagrams[d], load(f.datagrams[d]));
    }
    for (std::size_t r = 0; r < kRefusals; ++r) add(to.refused[r], load(f.refused[r]));
  }
}

}  // namespace tarnwicket
