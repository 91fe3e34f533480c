#include "support/gateway_fixture.h"

#include <gtest/gtest.h>

#include <csignal>

namespace tarnwicket::test {

std::string server_ini(const std::vector<RouteSpec>& routes, int connection_timeout_ms,
                       int udp_idle_timeout_ms, const std::string& listen_address) {
  std::string ini = "[server]\nlisten_address = " + listen_address +
                    "\nconnection_timeout_ms = " + std::to_string(connection_timeout_ms) +
                    "\nudp_idle_timeout_ms = " + std::to_string(udp_idle_timeout_ms) + "\n";
  for (const RouteSpec& r : routes) {
    ini += "\n[route:" + r.name + "]\nprotocol = " + r.protocol +
           "\nlisten_port = " + std::to_string(r.listen_port) + "\ntarget_host = " + r.target_host +
           "\ntarget_port = " + std::to_string(r.target_port) + "\n";
    if (r.max_connections > 0)
      ini += "max_connections = " + std::to_string(r.max_connections) + "\n";
    if (!r.enabled) ini += "enabled = false\n";
  }
  return ini;
}

RunningServer::RunningServer(const std::string& ini, ProcessOptions options) {
  const auto path = dir_.write("server.ini", ini);
  if (options.workdir.empty()) options.workdir = dir_.path();
  process_ = std::make_unique<Process>(
      server_binary(), std::vector<std::string>{"--config", path.string()}, options);
  started_ = process_->wait_for_line("server started; press Ctrl+C to stop");
  EXPECT_TRUE(started_) << "stdout:\n"
                        << process_->stdout_text() << "stderr:\n"
                        << process_->stderr_text();
}

std::optional<int> RunningServer::terminate(std::chrono::milliseconds deadline) {
  exited_ = true;
  process_->signal(SIGTERM);
  return process_->wait_exit(deadline);
}

RunningServer::~RunningServer() {
  if (exited_ || !started_) return;
  auto status = terminate();
  EXPECT_EQ(status, 0) << process_->stdout_text() << process_->stderr_text();
}

}  // namespace tarnwicket::test
