#include "gateway/metrics.h"

#include <cstdint>
#include <map>
#include <sstream>
#include <string_view>

#include "gateway/histogram.h"
#include "gateway/metric_series.h"
#include "gateway/process_stats.h"

#ifndef TARNWICKET_VERSION
#error "TARNWICKET_VERSION must be defined by the build"
#endif

namespace tarnwicket {

namespace {

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
  NamedRecords names;
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
  for (const Series& series : route_series()) {
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

  session_series(out, names);

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
  single(out, "tarnwicket_session_records_dropped_total", "counter",
         "Session records lost to a full buffer or a failed output.",
         gateway.session_records_dropped);

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
    for (std::size_t e = 0; e < kSessionEnds; ++e) add(to.ended[e], load(f.ended[e]));
    add_histogram(to.duration, f.duration);
    add(to.evicted, load(f.evicted));
  }
  add_histogram(into.upstream_connect, from.upstream_connect);
}

}  // namespace tarnwicket
