#pragma once

// Shared set-up for process-level gateway tests: write a server.ini, start the
// real binary, wait for its start announcement.

#include <memory>
#include <string>
#include <vector>

#include "support/net.h"
#include "support/process.h"

namespace tarnwicket::test {

struct RouteSpec {
  std::string name;
  std::string protocol;
  int listen_port;
  std::string target_host;
  int target_port;
  int max_connections = 0;  // 0: key left out
  bool enabled = true;
};

std::string server_ini(const std::vector<RouteSpec>& routes, int connection_timeout_ms = 5000,
                       int udp_idle_timeout_ms = 60000,
                       const std::string& listen_address = "127.0.0.1");

// A running server on a written configuration; stopped with SIGTERM (and
// required to exit 0) when the test ends, unless the test waited itself.
class RunningServer {
 public:
  explicit RunningServer(const std::string& ini, ProcessOptions options = {});
  ~RunningServer();
  Process& process() { return *process_; }
  // Sends SIGTERM and returns the exit status (nullopt when it hangs).
  std::optional<int> terminate(std::chrono::milliseconds deadline = 10s);
  bool started() const { return started_; }

 private:
  TempDir dir_;
  std::unique_ptr<Process> process_;
  bool started_ = false;
  bool exited_ = false;
};

}  // namespace tarnwicket::test
