#include "contenders.h"

#include <signal.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <tuple>

namespace tarnwicket::bench {

namespace {

namespace fs = std::filesystem;

constexpr const char* kStreamModule = "/usr/lib/nginx/modules/ngx_stream_module.so";

std::string address(int port) { return "127.0.0.1:" + std::to_string(port); }

// TCP only: HAProxy has no UDP proxying. Time-outs long enough for the held
// connections, as the gateway's connection_timeout_ms. maxconn costs two
// descriptors a connection, which must fit the hard limit (20,000 here): 9,000
// still holds the 4,000 connections of scenario 6.
std::string haproxy_cfg(const Ports& listen, const Ports& upstream) {
  std::string cfg =
      "global\n  maxconn 9000\n  nbthread 2\n"
      "defaults\n  mode tcp\n  maxconn 9000\n  timeout connect 5s\n"
      "  timeout client 300s\n  timeout server 300s\n";
  for (const auto& [name, from, to] :
       {std::tuple{"tcp-echo", listen.tcp_echo, upstream.tcp_echo},
        std::tuple{"tcp-sink", listen.tcp_sink, upstream.tcp_sink}}) {
    cfg += std::string("listen ") + name + "\n  bind " + address(from) + "\n  server up " +
           address(to) + "\n";
  }
  return cfg;
}

// The UDP session ends after 3 s without traffic, as the gateway's
// udp_idle_timeout_ms; the number of answers per datagram is left unlimited.
std::string nginx_conf(const Ports& listen, const Ports& upstream, const fs::path& dir) {
  std::string conf;
  if (fs::exists(kStreamModule)) conf += std::string("load_module ") + kStreamModule + ";\n";
  conf += "daemon off;\nmaster_process on;\nworker_processes 2;\n";
  conf += "error_log stderr;\npid " + (dir / "nginx.pid").string() + ";\n";
  conf += "events { worker_connections 20000; }\nstream {\n";
  conf += "  server { listen " + address(listen.tcp_echo) + "; proxy_pass " +
          address(upstream.tcp_echo) + "; proxy_timeout 300s; }\n";
  conf += "  server { listen " + address(listen.tcp_sink) + "; proxy_pass " +
          address(upstream.tcp_sink) + "; proxy_timeout 300s; }\n";
  conf += "  server { listen " + address(listen.udp_echo) + " udp; proxy_pass " +
          address(upstream.udp_echo) + "; proxy_timeout 3s; }\n}\n";
  return conf;
}

// The parent's pid in /proc/PID/stat, after the command name (which may hold
// spaces and parentheses); 0 when the process is gone.
pid_t parent_of(const fs::path& stat) {
  std::ifstream in(stat);
  std::string line;
  std::getline(in, line);
  const auto close = line.rfind(')');
  if (close == std::string::npos || close + 4 >= line.size()) return 0;
  return static_cast<pid_t>(std::atol(line.c_str() + close + 4));  // ") S PPID"
}

}  // namespace

Contender::Contender(ContenderSetup setup, const Ports& upstream, const TempDir& dir,
                     const ServerIni& ini)
    : setup_(std::move(setup)) {
  const bool udp = setup_.kind != Kind::kHaproxy;
  ports_ = Ports{free_port(), free_port(), udp ? free_port() : 0};
  std::vector<std::string> args;
  switch (setup_.kind) {
    case Kind::kTarnwicket: {
      std::string text = ini(ports_);
      text.insert(text.find('\n') + 1, setup_.server_keys);  // after "[server]"
      args = {"--config", dir.write(setup_.name + ".ini", text).string()};
      break;
    }
    case Kind::kHaproxy:
      args = {"-db", "-f", dir.write("haproxy.cfg", haproxy_cfg(ports_, upstream)).string()};
      break;
    case Kind::kNginx:
      args = {"-p", dir.path().string(),
              "-e", "stderr",
              "-c", dir.write("nginx.conf", nginx_conf(ports_, upstream, dir.path())).string()};
      break;
  }
  process_ = std::make_unique<Process>(setup_.binary, args);
  wait_ready();
}

void Contender::wait_ready() {
  bool ready = false;
  if (setup_.kind == Kind::kTarnwicket) {
    ready = process_->wait_for_line("server started", 10s);
  } else {
    // Relaying once through the echo route also means a worker has taken over.
    ready = eventually_true(
        [&] {
          Fd echo = tcp_connect(ports_.tcp_echo);
          return echo && echoes(echo.get(), "ready") && tcp_connect(ports_.tcp_sink);
        },
        10s);
  }
  if (!ready)
    throw std::runtime_error(setup_.name + " did not start:\n" + process_->stdout_text() +
                             process_->stderr_text());
}

Contender::~Contender() {
  // nginx's workers are not children of ours: the master takes them along on
  // SIGTERM, and what outlives it is killed by its pid.
  const std::vector<pid_t> all = processes();
  process_->signal(SIGTERM);
  if (process_->wait_exit(5s)) return;
  for (const pid_t pid : all) {
    if (pid != process_->pid()) ::kill(pid, SIGKILL);
  }
}

std::vector<pid_t> Contender::processes() const {
  const pid_t main = process_->pid();
  std::vector<pid_t> all{main};
  if (setup_.kind != Kind::kNginx) return all;
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (parent_of(it->path() / "stat") == main)
      all.push_back(static_cast<pid_t>(std::atol(name.c_str())));
  }
  return all;
}

Memory Contender::memory() const {
  Memory m;
  for (const char* key : {"Slab:", "KernelStack:", "PageTables:"})
    m.kernel_kib += proc_number("/proc/meminfo", key);
  for (const pid_t pid : processes()) {
    m.rss_kib += resident_kib(pid);
    m.pss_kib += proportional_kib(pid);
    m.threads += static_cast<double>(thread_count(pid));
  }
  return m;
}

double Contender::threads() const {
  double n = 0;
  for (const pid_t pid : processes()) n += static_cast<double>(thread_count(pid));
  return n;
}

double Contender::stop() {
  const auto start = Clock::now();
  process_->signal(SIGTERM);
  const std::optional<int> status = process_->wait_exit(10s);
  // HAProxy ends by the signal itself; the gateway and nginx exit 0.
  const bool clean = status == 0 || (setup_.kind == Kind::kHaproxy && status == 128 + SIGTERM);
  return clean ? seconds_since(start) * 1000 : NAN;
}

}  // namespace tarnwicket::bench
