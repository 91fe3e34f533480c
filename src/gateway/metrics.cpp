#include "gateway/metrics.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#ifndef TARNWICKET_VERSION
#error "TARNWICKET_VERSION must be defined by the build"
#endif

namespace tarnwicket {

namespace {

struct ProcessStats {
  double start_time_seconds = 0;
  double cpu_seconds = 0;
  std::int64_t resident_bytes = 0;
  std::int64_t threads = 0;
  std::int64_t open_fds = 0;
  std::int64_t max_fds = 0;
};

std::int64_t boot_time_seconds() {
  std::ifstream stat("/proc/stat");
  for (std::string line; std::getline(stat, line);) {
    if (line.starts_with("btime ")) return std::stoll(line.substr(6));
  }
  return 0;
}

// Unreadable entries leave their value at 0.
ProcessStats read_process_stats() {
  ProcessStats p;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  std::ifstream stat_file("/proc/self/stat");
  std::string stat((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
  // Fields after the command name, which may hold blanks and parentheses;
  // the first of them is field 3 of proc(5).
  const auto close = stat.rfind(')');
  if (close != std::string::npos && ticks > 0) {
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> f{std::istream_iterator<std::string>(fields),
                               std::istream_iterator<std::string>()};
    auto field = [&f](std::size_t n) { return n - 3 < f.size() ? std::stod(f[n - 3]) : 0.0; };
    p.cpu_seconds = (field(14) + field(15)) / ticks;
    p.threads = static_cast<std::int64_t>(field(20));
    p.start_time_seconds = static_cast<double>(boot_time_seconds()) + field(22) / ticks;
    p.resident_bytes = static_cast<std::int64_t>(field(24)) * sysconf(_SC_PAGESIZE);
  }
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++p.open_fds;
  }
  if (p.open_fds > 0) --p.open_fds;  // the one that read the list
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) p.max_fds = static_cast<std::int64_t>(limit.rlim_cur);
  return p;
}

class Writer {
 public:
  explicit Writer(const std::vector<RouteView>& routes) : routes_(routes) {}

  void family(const char* name, const char* type, const char* help) {
    out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    name_ = name;
  }
  // One series per route; `labels` follows the route label, as `,k="v"`.
  template <class Read>
  void per_route(Read read, const std::string& labels = "") {
    for (const RouteView& r : routes_) {
      out_ << name_ << "{route=\"" << escape_label(r.name) << '"' << labels << "} " << read(r.stats)
           << '\n';
    }
  }
  template <class T>
  void single(const T& value) {
    out_ << name_ << ' ' << value << '\n';
  }
  std::ostringstream& out() { return out_; }

 private:
  const std::vector<RouteView>& routes_;
  std::ostringstream out_;
  std::string name_;
};

template <class T>
auto load(const std::atomic<T>& value) {
  return value.load(std::memory_order_relaxed);
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

std::string metrics_exposition(const std::vector<RouteView>& routes) {
  Writer w(routes);
  w.out().precision(17);
  w.family("tarnwicket_build_info", "gauge", "Version of the running server; always 1.");
  w.out() << "tarnwicket_build_info{version=\"" << escape_label(TARNWICKET_VERSION) << "\"} 1\n";

  w.family("tarnwicket_tcp_connections", "gauge", "Relayed TCP connections open now.");
  w.per_route([](const RouteStats& s) { return load(s.tcp_open); });
  w.family("tarnwicket_tcp_connections_accepted_total", "counter",
           "TCP clients given a connection slot.");
  w.per_route([](const RouteStats& s) { return load(s.tcp_accepted); });
  w.family("tarnwicket_tcp_connections_refused_total", "counter",
           "TCP clients closed at once, by reason.");
  w.per_route([](const RouteStats& s) { return load(s.tcp_refused_limit); }, ",reason=\"limit\"");
  w.per_route([](const RouteStats& s) { return load(s.tcp_refused_per_address); },
              ",reason=\"per_address_limit\"");
  w.per_route([](const RouteStats& s) { return load(s.tcp_refused_allow_list); },
              ",reason=\"allow_list\"");
  w.per_route([](const RouteStats& s) { return load(s.tcp_refused_bad_proxy_header); },
              ",reason=\"bad_proxy_header\"");
  w.per_route([](const RouteStats& s) { return load(s.tcp_refused_untrusted_proxy); },
              ",reason=\"untrusted_proxy\"");
  w.family("tarnwicket_upstream_connect_failures_total", "counter",
           "Upstream connections that could not be made, resolution failures included.");
  w.per_route([](const RouteStats& s) { return load(s.tcp_connect_failures); },
              ",protocol=\"tcp\"");
  w.per_route([](const RouteStats& s) { return load(s.udp_connect_failures); },
              ",protocol=\"udp\"");
  w.family("tarnwicket_relayed_bytes_total", "counter",
           "Bytes relayed; UDP counts datagram payloads.");
  w.per_route([](const RouteStats& s) { return load(s.tcp_bytes_client_to_server); },
              ",protocol=\"tcp\",direction=\"client_to_server\"");
  w.per_route([](const RouteStats& s) { return load(s.tcp_bytes_server_to_client); },
              ",protocol=\"tcp\",direction=\"server_to_client\"");
  w.per_route([](const RouteStats& s) { return load(s.udp_bytes_client_to_server); },
              ",protocol=\"udp\",direction=\"client_to_server\"");
  w.per_route([](const RouteStats& s) { return load(s.udp_bytes_server_to_client); },
              ",protocol=\"udp\",direction=\"server_to_client\"");
  w.family("tarnwicket_udp_associations", "gauge", "UDP associations open now.");
  w.per_route([](const RouteStats& s) { return load(s.udp_open); });
  w.family("tarnwicket_udp_associations_created_total", "counter", "UDP associations created.");
  w.per_route([](const RouteStats& s) { return load(s.udp_created); });
  w.family("tarnwicket_udp_datagrams_total", "counter", "UDP datagrams relayed.");
  w.per_route([](const RouteStats& s) { return load(s.udp_datagrams_client_to_server); },
              ",direction=\"client_to_server\"");
  w.per_route([](const RouteStats& s) { return load(s.udp_datagrams_server_to_client); },
              ",direction=\"server_to_client\"");
  w.family("tarnwicket_udp_datagrams_dropped_total", "counter",
           "UDP datagrams dropped, by reason.");
  w.per_route([](const RouteStats& s) { return load(s.udp_dropped_limit); }, ",reason=\"limit\"");
  w.per_route([](const RouteStats& s) { return load(s.udp_dropped_per_address); },
              ",reason=\"per_address_limit\"");
  w.per_route([](const RouteStats& s) { return load(s.udp_dropped_allow_list); },
              ",reason=\"allow_list\"");
  w.per_route([](const RouteStats& s) { return load(s.udp_dropped_send_failed); },
              ",reason=\"send_failed\"");

  const ProcessStats p = read_process_stats();
  w.family("process_start_time_seconds", "gauge", "Start time of the process since the epoch.");
  w.single(p.start_time_seconds);
  w.family("process_cpu_seconds_total", "counter", "User and system CPU time spent.");
  w.single(p.cpu_seconds);
  w.family("process_resident_memory_bytes", "gauge", "Resident memory size.");
  w.single(p.resident_bytes);
  w.family("process_open_fds", "gauge", "Open file descriptors.");
  w.single(p.open_fds);
  w.family("process_max_fds", "gauge", "Limit of open file descriptors.");
  w.single(p.max_fds);
  w.family("tarnwicket_threads", "gauge", "Threads of the process.");
  w.single(p.threads);
  return w.out().str();
}

}  // namespace tarnwicket
