#pragma once

// The GoogleTest part of the kit: the real server on a written configuration,
// and a fixture for relay tests on top of it.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/net.h"
#include "support/process.h"

namespace tarnwicket::test {

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
  // Writes a new configuration over the server's file, for a reload.
  void rewrite(const std::string& ini) { dir_.write("server.ini", ini); }

 private:
  TempDir dir_;
  std::unique_ptr<Process> process_;
  bool started_ = false, exited_ = false;
};

// Echo upstreams of the test's own (TCP and UDP), the server on the routes a
// test gives, and the idle threads and descriptors it must come back to. The
// parameter is the relay engine the server runs ("threads" or "events");
// TARNWICKET_ON_BOTH_ENGINES runs a suite on each.
class RelayFixture : public ::testing::TestWithParam<const char*> {
 protected:
  bool events() const { return std::string_view(GetParam()) == "events"; }
  // `ini` (as server_ini writes it) with the engine under test.
  std::string on_engine(std::string ini) const;
  // Writes a new configuration over the server's file, for a reload.
  void rewrite(const std::string& ini) { server().rewrite(on_engine(ini)); }
  // Rewrites the file, sends SIGHUP and waits for the reload's outcome line.
  bool reload(const std::string& ini);

  // Route g: TCP on port_ to the echo upstream; route u: UDP on udp_port_ to
  // the UDP echo.
  RouteSpec tcp_route(int max_connections = 0) const {
    return {"g", "tcp", port_, "127.0.0.1", tcp_upstream_.port(), max_connections};
  }
  RouteSpec udp_route(int max_connections = 0) const {
    return {"u", "udp", udp_port_, "127.0.0.1", udp_upstream_.port(), max_connections};
  }
  // Starts the server (see server_ini); false when it did not announce its start.
  bool start(const std::vector<RouteSpec>& routes, int connection_timeout_ms = 5000,
             int udp_idle_timeout_ms = 60000, ProcessOptions options = {},
             const std::string& listen_address = "127.0.0.1", const std::string& server_keys = "");
  Process& proc() { return server_->process(); }
  RunningServer& server() { return *server_; }
  // Waits until the server runs its idle threads and holds its idle descriptors again.
  ::testing::AssertionResult back_to_idle(std::chrono::milliseconds deadline = 10s);
  // Sends SIGTERM: the server must exit 0 within `limit` (scaled).
  ::testing::AssertionResult stops_within(std::chrono::milliseconds limit);

  TcpUpstream tcp_upstream_;
  UdpEcho udp_upstream_;
  const int port_ = free_port(), udp_port_ = free_port();

 private:
  std::unique_ptr<RunningServer> server_;
  size_t idle_threads_ = 0, idle_fds_ = 0, reloads_ = 0;
};

// Prometheus and its tool, from the distribution; tests that need them skip without.
inline const std::filesystem::path kPromtool = "/usr/bin/promtool";
inline const std::filesystem::path kPrometheus = "/usr/bin/prometheus";

inline std::string engine_name(const ::testing::TestParamInfo<const char*>& engine) {
  return engine.param;
}
#define TARNWICKET_ON_BOTH_ENGINES(suite) \
  INSTANTIATE_TEST_SUITE_P(Engines, suite, ::testing::Values("threads", "events"), engine_name)

}  // namespace tarnwicket::test
