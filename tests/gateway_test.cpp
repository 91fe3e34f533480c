// The gateway's start-up, listeners and stop sequence, through the real
// binary and through the library; and its building blocks for worker threads
// and the descriptors that stop() shuts down, tested directly.

#include "gateway/gateway.h"

#include <sys/socket.h>

#include <atomic>
#include <csignal>
#include <future>
#include <optional>

#include "gateway/socket_util.h"
#include "gateway/thread_group.h"
#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

TEST(Lifecycle, OneListenerPerProtocolOfEachEnabledRoute) {
  const int tcp = free_port();
  const int both = free_port();
  const int disabled = free_port();
  RunningServer server(server_ini({{"game", "tcp", tcp, "127.0.0.1", 9, 1},
                                   {"eu1", "both", both, "127.0.0.1", 9},
                                   {"off", "both", disabled, "127.0.0.1", 9, 0, false}}));
  ASSERT_TRUE(server.started());
  Process& proc = server.process();
  EXPECT_EQ(proc.count_lines("server route "), 2u);
  EXPECT_EQ(proc.count_lines("[INFO] server route game [tcp] listening 127.0.0.1:" +
                             std::to_string(tcp) + " -> 127.0.0.1:9"),
            1u);
  EXPECT_EQ(proc.count_lines("server route eu1 [both] listening"), 1u);
  // Which of (TCP, UDP) on each port another socket can still bind.
  std::string free;
  for (int port : {tcp, both, disabled}) {
    free += port_free(SOCK_STREAM, port) ? 'T' : '-';
    free += port_free(SOCK_DGRAM, port) ? 'U' : '-';
  }
  EXPECT_EQ(free, "-U--TU");
}

// Either signal, even sent twice, stops once with status 0. The second round
// binds the same port right after the first, with connections of the first in
// TIME_WAIT on it.
TEST(Lifecycle, EitherSignalStopsOnceAndThePortBindsAgain) {
  const int port = free_port();
  for (int signo : {SIGINT, SIGTERM}) {
    RunningServer server(server_ini({{"game", "tcp", port, "127.0.0.1", 9, 1}}));
    ASSERT_TRUE(server.started()) << server.process().stderr_text();
    Process& proc = server.process();
    // The gateway closes these clients first, which leaves TIME_WAIT on its port.
    Fd held = tcp_connect(port);
    EXPECT_TRUE(wait_closed(tcp_connect(port).get()));
    proc.signal(signo);
    proc.signal(signo);  // a second request during shutdown changes nothing
    EXPECT_EQ(server.terminate(), 0);
    EXPECT_EQ(proc.count_lines("[INFO] server stopped"), 1u);
    EXPECT_EQ(proc.stderr_text(), "");
  }
}

TEST(Lifecycle, TakenPortStopsWhatWasOpened) {
  const int first = free_port();
  const int taken = free_port();
  Fd holder = tcp_listener(taken);
  ASSERT_TRUE(holder);
  TempDir dir;
  const auto path = dir.write("server.ini", server_ini({{"a", "udp", first, "127.0.0.1", 9},
                                                        {"b", "tcp", taken, "127.0.0.1", 9}}));
  RunResult r = run(server_binary(), {"--config", path.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "server startup failed: TCP 监听失败: b\n");
  EXPECT_NE(r.out.find("server route a [udp] listening"), std::string::npos);
  EXPECT_NE(r.out.find("[INFO] server stopped\n"), std::string::npos);
  EXPECT_EQ(r.out.find("server route b"), std::string::npos);
  EXPECT_EQ(r.out.find("server started"), std::string::npos);
}

// The library, on one TCP route that leaves every other field at its default.
ServerConfig one_route(int port) {
  ServerConfig config;
  config.listen_address = "127.0.0.1";
  ServerRoute& route = config.routes.emplace_back();
  route.name = "lib";
  route.listen_port = port;
  route.target_host = "127.0.0.1";
  route.target_port = 9;
  return config;
}

TEST(Lifecycle, StartAndStopActOnce) {
  const int port = free_port();
  Gateway gateway(one_route(port));
  for (int twice = 0; twice < 2; ++twice) gateway.start();
  EXPECT_TRUE(gateway.running() && !port_free(SOCK_STREAM, port));
  for (int twice = 0; twice < 2; ++twice) gateway.stop();
  EXPECT_FALSE(gateway.running() || tcp_connect(port));
}

TEST(Lifecycle, DestroyingARunningGatewayStopsIt) {
  const int port = free_port();
  std::optional<Gateway> gateway(one_route(port));
  gateway->start();
  ASSERT_TRUE(tcp_connect(port));
  gateway.reset();
  EXPECT_FALSE(tcp_connect(port));
}

TEST(Lifecycle, GatewayRefusesAnInvalidRoute) {
  EXPECT_THROW(Gateway{one_route(0)}, std::runtime_error);
}

std::pair<UniqueFd, UniqueFd> socket_pair() {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

TEST(ThreadGroup, FinishedThreadsAreReclaimedWhileOthersRun) {
  std::thread([] {}).join();  // sanitizer runtimes add a helper thread with the first one
  const size_t before = thread_count(::getpid());
  ThreadGroup group;
  std::promise<void> release;
  group.spawn([released = release.get_future()] { released.wait(); });
  for (int i = 0; i < 200; ++i) group.spawn([] {});
  // The long-running one, and at most one finished thread waiting to be joined.
  EXPECT_LE(eventually([&] { return thread_count(::getpid()); },
                       [&](size_t n) { return n <= before + 2; }),
            before + 2);
  release.set_value();
  group.join_all();
  EXPECT_EQ(thread_count(::getpid()), before);
}

TEST(ThreadGroup, JoinAllWaitsForEveryThread) {
  ThreadGroup group;
  std::atomic<int> done{0};
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  for (int i = 0; i < 8; ++i)
    group.spawn([&] {
      released.wait();
      ++done;
    });
  std::jthread opener([&release] { release.set_value(); });
  group.join_all();
  EXPECT_EQ(done.load(), 8);
}

// Any failure while the thread is being made takes the same path as a
// failing pthread_create, which root's unlimited thread count cannot provoke.
struct ThrowsWhenMoved {
  ThrowsWhenMoved() = default;
  ThrowsWhenMoved(ThrowsWhenMoved&& /*other*/) { throw std::runtime_error("no thread"); }
  void operator()() const {}
};

TEST(ThreadGroup, FailedSpawnLeavesNoTrace) {
  ThreadGroup group;
  EXPECT_THROW(group.spawn(ThrowsWhenMoved{}), std::runtime_error);
  group.spawn([] {});
  group.join_all();  // would wait for ever on an entry left by the failed spawn
}

TEST(ListedFd, ShutdownAllWakesABlockedReader) {
  FdList list;
  auto [ours, peer] = socket_pair();
  ListedFd listed(list, std::move(ours));
  auto reader = std::async(std::launch::async, [fd = listed.get()] {
    char byte;
    return ::recv(fd, &byte, 1, 0);
  });
  list.shutdown_all();
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(reader.get(), 0);
}

TEST(ListedFd, LeavesTheListBeforeItsNumberIsReused) {
  FdList list;
  int number;
  {
    auto [ours, peer] = socket_pair();
    ListedFd listed(list, std::move(ours));
    number = listed.get();
  }
  // The system hands out the lowest free number: the same one, to a new socket.
  auto [reused, peer] = socket_pair();
  ASSERT_EQ(reused.get(), number);
  list.shutdown_all();
  char byte = 0;
  EXPECT_EQ(::send(peer.get(), "x", 1, MSG_NOSIGNAL), 1);
  EXPECT_EQ(::recv(reused.get(), &byte, 1, 0), 1);
}

TEST(ListedFd, ListedAfterShutdownAllIsShutDownAtOnce) {
  FdList list;
  list.shutdown_all();
  auto [ours, peer] = socket_pair();
  ListedFd listed(list, std::move(ours));
  char byte;
  EXPECT_EQ(::recv(listed.get(), &byte, 1, 0), 0);
}

}  // namespace
}  // namespace tarnwicket::test
