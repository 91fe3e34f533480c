// The gateway's own failure paths: no memory, a reader of standard output
// that stops reading, a host with several addresses, a small receive buffer.

#include <fcntl.h>
#include <sys/resource.h>

#include <csignal>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

class FailurePaths : public RelayFixture {};

TEST_F(FailurePaths, MemoryPressureLeavesTheProcessServing) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer runtimes reserve address space of their own";
#endif
  rlimit files{};  // room for 2,000 clients in this process
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  // 2,000 connections need far more than 300 MB of stacks: thread creation
  // and allocation fail while they are held.
  ASSERT_TRUE(start({tcp_route()}, 5000, 60000, {.memory_limit = 300000000}));
  std::vector<Fd> clients(2000);
  for (Fd& client : clients) send_all((client = tcp_connect(port_)).get(), "x", 1);
  EXPECT_TRUE(proc().wait_for_line("connection closed: Resource temporarily unavailable"));
  clients.clear();
  EXPECT_TRUE(eventually_true([&] { return echoes(tcp_connect(port_).get(), "served again"); }));
}

// Standard output is a pipe of one page that nobody reads.
TEST_F(FailurePaths, StalledStdoutHoldsUpNeitherRelayNorStop) {
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  const Fd read_end(out[0]), write_end(out[1]);
  ::fcntl(write_end.get(), F_SETPIPE_SZ, 4096);
  const TempDir dir;
  Process server(server_binary(), {"--config", dir.write("s.ini", server_ini({tcp_route()}))},
                 {.stdout_fd = write_end.get()});
  EXPECT_TRUE(eventually_true([&] { return static_cast<bool>(tcp_connect(port_)); }));
  for (int i = 0; i < 500; ++i) ASSERT_TRUE(echoes(tcp_connect(port_).get(), "session"));
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(2s), 0) << "no exit within 2 s of SIGTERM";
}

// A client that sent to 127.0.0.5 takes replies only from there.
TEST_F(FailurePaths, UdpRepliesLeaveFromTheAddressTheClientSentTo) {
  ASSERT_TRUE(start({udp_route()}, 5000, 60000, {}, "0.0.0.0"));
  EXPECT_TRUE(echoes(udp_connect(udp_port_, "127.0.0.5").get(), "ping"));
}

TEST_F(FailurePaths, ReceiveBufferBelowTheAskIsReportedOnce) {
  // net.core.rmem_max may grant every size.
  if (proc_number("/proc/sys/net/core/rmem_max", "") >= 67108864) GTEST_SKIP() << "no cap";
  // Route small on the fixture's TCP port, free for UDP too.
  ASSERT_TRUE(start(
      {{"big", "udp", udp_port_, "127.0.0.1", 9, 0, true, "udp_receive_buffer_bytes = 67108864\n"},
       {"small", "udp", port_, "127.0.0.1", 9, 0, true, "udp_receive_buffer_bytes = 4096\n"}}));
  EXPECT_EQ(proc().count_lines("[WARN] route big UDP receive buffer is "), 1u);
  EXPECT_EQ(proc().count_lines("bytes, less than asked"), 1u);
}

}  // namespace
}  // namespace tarnwicket::test
