#include "support/gateway_fixture.h"

#include <csignal>

namespace tarnwicket::test {

RunResult run(const std::filesystem::path& binary, std::vector<std::string> args,
              ProcessOptions options, std::chrono::milliseconds deadline) {
  Process process(binary, std::move(args), std::move(options));
  const auto status = process.wait_exit(deadline);
  if (!status) ADD_FAILURE() << binary << " did not end within " << deadline.count() << " ms";
  return {status.value_or(-1), process.stdout_text(), process.stderr_text()};
}

RunningServer::RunningServer(const std::string& ini, ProcessOptions options) {
  if (options.workdir.empty()) options.workdir = dir_.path();
  process_ = std::make_unique<Process>(
      server_binary(), std::vector<std::string>{"--config", dir_.write("server.ini", ini)},
      options);
  // Generous: a sanitizer build on a busy machine can take seconds to start.
  started_ = process_->wait_for_line("server started; press Ctrl+C to stop", 30s);
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
  EXPECT_EQ(terminate(), 0) << process_->stdout_text() << process_->stderr_text();
}

std::string RelayFixture::on_engine(std::string ini) const {
  const std::string_view head = "[server]\n";
  if (events() && ini.starts_with(head)) ini.insert(head.size(), "engine = events\n");
  return ini;
}

bool RelayFixture::start(const std::vector<RouteSpec>& routes, int connection_timeout_ms,
                         int udp_idle_timeout_ms, ProcessOptions options,
                         const std::string& listen_address, const std::string& server_keys) {
  server_ = std::make_unique<RunningServer>(
      on_engine(server_ini(routes, connection_timeout_ms, udp_idle_timeout_ms, listen_address,
                           server_keys)),
      std::move(options));
  idle_threads_ = thread_count(proc().pid());
  idle_fds_ = fd_count(proc().pid());
  return server_->started();
}

bool RelayFixture::reload(const std::string& ini) {
  rewrite(ini);
  proc().signal(SIGHUP);
  return proc().wait_for_lines("configuration reload", ++reloads_);
}

::testing::AssertionResult RelayFixture::back_to_idle(std::chrono::milliseconds deadline) {
  const pid_t pid = proc().pid();
  const auto now = eventually(
      [&] { return std::pair(thread_count(pid), fd_count(pid)); },
      [&](auto n) { return n.first <= idle_threads_ && n.second <= idle_fds_; }, deadline);
  if (now == std::pair(idle_threads_, idle_fds_)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "threads " << now.first << " (idle " << idle_threads_ << "), descriptors " << now.second
         << " (idle " << idle_fds_ << ")";
}

::testing::AssertionResult RelayFixture::stops_within(std::chrono::milliseconds limit) {
  const auto begin = std::chrono::steady_clock::now();
  const auto status = server().terminate(limit + 10s);
  const auto took = std::chrono::steady_clock::now() - begin;
  if (status == 0 && took < scaled(limit)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "status " << status.value_or(-1) << " after "
         << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
}

}  // namespace tarnwicket::test
