// The gateway's own failure paths: no memory, a reader of standard output
// that stops reading, a host with several addresses, a small receive buffer.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

class FailurePaths : public RelayFixture {};

std::string ini_for(int port, int target) {
  return server_ini({{"g", "tcp", port, "127.0.0.1", target}});
}

TEST_F(FailurePaths, MemoryPressureLeavesTheProcessServing) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer runtimes reserve address space of their own";
#endif
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  TempDir dir;
  const auto ini = dir.write("server.ini", ini_for(port_, tcp_upstream_.port()));
  // 2,000 connections need far more than 300 MB of stacks: thread creation
  // and allocation fail while they are held.
  Process server("/usr/bin/prlimit",
                 {"--as=300000000", "--", server_binary().string(), "--config", ini.string()});
  ASSERT_TRUE(server.wait_for_line("server started"));
  {
    std::vector<Fd> clients;
    for (int i = 0; i < 2000; ++i) {
      clients.push_back(tcp_connect(port_));
      if (i % 100 == 0) send_all(clients.back().get(), "x", 1);
    }
    EXPECT_TRUE(server.wait_for_line("connection closed: Resource temporarily unavailable"));
  }
  EXPECT_TRUE(eventually([&] { return echoes(tcp_connect(port_).get(), "served again"); },
                         [](bool ok) { return ok; }));
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0);
}

// Standard output is a pipe of one page that nobody reads.
TEST_F(FailurePaths, StalledStdoutHoldsUpNeitherRelayNorStop) {
  TempDir dir;
  const auto ini = dir.write("server.ini", ini_for(port_, tcp_upstream_.port()));
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  Fd read_end(out[0]);
  Fd write_end(out[1]);
  ::fcntl(write_end.get(), F_SETPIPE_SZ, 4096);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, write_end.get(), 1);
  const std::string binary = server_binary().string();
  const std::string path = ini.string();
  char* argv[] = {const_cast<char*>(binary.c_str()), const_cast<char*>("--config"),
                  const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_TRUE(eventually([&] { return static_cast<bool>(tcp_connect(port_)); },
                         [](bool ok) { return ok; }));
  for (int i = 0; i < 500; ++i) {
    ASSERT_TRUE(echoes(tcp_connect(port_).get(), "session " + std::to_string(i)));
  }
  const auto begin = std::chrono::steady_clock::now();
  ::kill(pid, SIGTERM);
  int status = -1;
  const auto exited = eventually([&] { return ::waitpid(pid, &status, WNOHANG); },
                                 [&](pid_t r) { return r == pid; }, 2s);
  if (exited != pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  EXPECT_EQ(exited, pid) << "no exit within 2 s of SIGTERM";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
}

// A client that sent to 127.0.0.5 takes replies only from there.
TEST_F(FailurePaths, UdpRepliesLeaveFromTheAddressTheClientSentTo) {
  ASSERT_TRUE(start({udp_route()}, 5000, 60000, {}, "0.0.0.0"));
  Fd client = udp_connect(udp_port_, "127.0.0.5");
  ASSERT_TRUE(udp_send(client.get(), "ping"));
  EXPECT_EQ(udp_recv(client.get()), "ping");
}

TEST_F(FailurePaths, ReceiveBufferBelowTheAskIsReportedOnce) {
  long cap = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> cap;
  if (cap >= 67108864) GTEST_SKIP() << "net.core.rmem_max grants every size";
  const int small_port = free_port();
  ASSERT_TRUE(start(
      {{"big", "udp", udp_port_, "127.0.0.1", 9, 0, true, "udp_receive_buffer_bytes = 67108864\n"},
       {"small", "udp", small_port, "127.0.0.1", 9, 0, true,
        "udp_receive_buffer_bytes = 4096\n"}}));
  EXPECT_EQ(proc().count_lines("[WARN] route big UDP receive buffer is "), 1u);
  EXPECT_EQ(proc().count_lines("bytes, less than asked"), 1u);
}

}  // namespace
}  // namespace tarnwicket::test
