#pragma once

// What the benchmark compares with the direct path: tarnwicket-server builds
// and, beside them, HAProxy and nginx as plain proxies. Each listens on ports
// of its own and leads to the same upstreams, and all run at once, so that a
// repetition can go from one to the next without restarting anything.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "scenarios.h"

namespace tarnwicket::bench {

enum class Kind { kTarnwicket, kHaproxy, kNginx };

struct ContenderSetup {
  std::string name;  // its column in the table
  Kind kind = Kind::kTarnwicket;
  std::string binary;
  std::string server_keys;  // tarnwicket-server: lines added to [server] (--engine)
};

inline constexpr const char* kHaproxyBinary = "/usr/sbin/haproxy";
inline constexpr const char* kNginxBinary = "/usr/sbin/nginx";

// Memory and threads summed over a contender's processes, and the
// system-wide kernel memory that grows with sockets and threads.
struct Memory {
  double rss_kib = 0;
  double pss_kib = 0;
  double threads = 0;
  double kernel_kib = 0;  // Slab + KernelStack + PageTables
};

// A tarnwicket-server configuration for the given listen ports.
using ServerIni = std::function<std::string(const Ports& listen)>;

class Contender {
 public:
  // Starts it with its configuration written into `dir` and waits until it
  // relays; throws when it does not within 10 s.
  Contender(ContenderSetup setup, const Ports& upstream, const TempDir& dir, const ServerIni& ini);
  ~Contender();
  Contender(const Contender&) = delete;
  Contender& operator=(const Contender&) = delete;

  const std::string& name() const { return setup_.name; }
  const Ports& ports() const { return ports_; }
  bool has_udp() const { return ports_.udp_echo != 0; }  // HAProxy relays no UDP

  Memory memory() const;
  double threads() const;
  // SIGTERM; the milliseconds until the exit, NAN when it does not end as it
  // should within 10 s.
  double stop();

 private:
  std::vector<pid_t> processes() const;  // the main process and its children
  void wait_ready();

  ContenderSetup setup_;
  Ports ports_;
  std::unique_ptr<Process> process_;
};

}  // namespace tarnwicket::bench
