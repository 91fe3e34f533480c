// The gateway's start-up, listeners and stop sequence, through the real
// binary and through the library, and what it tells the service manager; and
// its building blocks for worker threads and the descriptors that stop()
// shuts down, tested directly.

#include "gateway/gateway.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <latch>
#include <optional>
#include <tuple>

#include "gateway/threads/thread_group.h"
#include "net/fd.h"
#include "server/notify.h"
#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

TEST(Lifecycle, OneListenerPerProtocolOfEachEnabledRoute) {
  const int tcp = free_port(), both = free_port(), disabled = free_port();
  RunningServer server(server_ini({{"game", "tcp", tcp, "127.0.0.1", 9, 1},
                                   {"eu1", "both", both, "127.0.0.1", 9},
                                   {"off", "both", disabled, "127.0.0.1", 9, 0, false}}));
  const std::string game = "server route game [tcp] listening 127.0.0.1:" + std::to_string(tcp);
  EXPECT_EQ(server.process().count_lines(game + " -> 127.0.0.1:9"), 1u);
  EXPECT_EQ(server.process().count_lines("server route eu1 [both] listening"), 1u);
  EXPECT_EQ(server.process().count_lines("server route "), 2u);
  std::string free;  // per port, whether another socket can still bind it for TCP, then UDP
  for (int port : {tcp, both, disabled})
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) free += port_free(type, port) ? '+' : '-';
  EXPECT_EQ(free, "-+--++");
}

// Either signal, even sent twice, stops once with status 0. The second round
// binds the same port right after the first, with connections of the first in
// TIME_WAIT on it.
TEST(Lifecycle, EitherSignalStopsOnceAndThePortBindsAgain) {
  const int port = free_port();
  for (int signo : {SIGINT, SIGTERM}) {
    RunningServer server(server_ini({{"game", "tcp", port, "127.0.0.1", 9, 1}}));
    // The gateway closes these clients first, which leaves TIME_WAIT on its port.
    Fd held = tcp_connect(port);
    EXPECT_TRUE(wait_closed(tcp_connect(port).get()));
    // A second request during shutdown changes nothing.
    for (int twice = 0; twice < 2; ++twice) server.process().signal(signo);
    EXPECT_EQ(server.terminate(), 0);
    EXPECT_EQ(server.process().count_lines("[INFO] server stopped"), 1u);
    EXPECT_EQ(server.process().stderr_text(), "");
  }
}

// Whether the process runs the server binary and blocks the signal.
bool server_blocks(pid_t pid, int signo) {
  const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  const auto mask = status.find("\nSigBlk:\t");
  return status.starts_with("Name:\ttarnwicket-serv") && mask != std::string::npos &&
         (std::stoull(status.substr(mask + 9, 16), nullptr, 16) >> (signo - 1) & 1) != 0;
}

// The control signals are blocked from the first instruction: one that comes
// while the file is read (a FIFO not yet written) waits for the run loop, and
// --validate exits as it would without it.
TEST(Lifecycle, SignalsBeforeTheRunLoopWaitForIt) {
  const std::tuple<int, const char*, const char*> cases[] = {
      {SIGTERM, "", "[INFO] server stopped"},
      {SIGINT, "", "[INFO] server stopped"},
      {SIGQUIT, "", "[INFO] server stopped"},  // a drain without clients
      {SIGHUP, "", "[INFO] configuration reloaded: "},
      {SIGTERM, "--validate", "server config valid: "}};
  for (const auto& [signo, option, line] : cases) {
    const std::string ini = server_ini({{"g", "tcp", free_port(), "127.0.0.1", 9}});
    TempDir dir;
    const std::string fifo = (dir.path() / "server.ini").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Writes the file once the server has opened the FIFO.
    const auto feed = [&] {
      Fd writer;
      return eventually_true([&] {
               writer.reset(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
               return static_cast<bool>(writer);
             }) &&
             ::write(writer.get(), ini.data(), ini.size()) == ssize_t(ini.size());
    };
    std::vector<std::string> args = {"--config", fifo};
    if (*option != '\0') args.push_back(option);
    Process server(server_binary(), args);
    ASSERT_TRUE(eventually_true([&] { return server_blocks(server.pid(), signo); }));
    server.signal(signo);
    ASSERT_TRUE(feed()) << signo;
    if (signo == SIGHUP) {  // the reload reads the file again, once the start has read it
      ASSERT_TRUE(server.wait_for_line("server started") && feed() && server.wait_for_line(line));
      server.signal(SIGTERM);
    }
    EXPECT_TRUE(server.wait_for_line(line)) << signo << server.stdout_text();
    EXPECT_EQ(server.wait_exit(), 0) << signo << server.stderr_text();
  }
}

TEST(Lifecycle, TakenPortStopsWhatWasOpened) {
  const int first = free_port(), taken = free_port();
  Fd holder = tcp_listener(taken);
  const auto ini =
      server_ini({{"a", "udp", first, "127.0.0.1", 9}, {"b", "tcp", taken, "127.0.0.1", 9}});
  const RunResult r = run(server_binary(), {"--config", TempDir().write("s.ini", ini)});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "server startup failed: TCP 监听失败: b\n");
  // Route a's line and the stop: no line for b, and no start.
  EXPECT_EQ(std::ranges::count(r.out, '\n'), 2) << r.out;
  EXPECT_NE(r.out.find("server route a [udp] listening"), std::string::npos);
  EXPECT_TRUE(r.out.ends_with("[INFO] server stopped\n"));
}

// The library, on one TCP route that leaves every other field at its default.
ServerConfig one_route(int port) {
  return load_server_config(
      TempDir().write("server.ini", server_ini({{"lib", "tcp", port, "127.0.0.1", 9}})));
}

TEST(Lifecycle, StartAndStopActOnce) {
  const int port = free_port();
  Gateway gateway(one_route(port));
  for (int twice = 0; twice < 2; ++twice) gateway.start();
  EXPECT_TRUE(gateway.running());
  EXPECT_FALSE(port_free(SOCK_STREAM, port));
  for (int twice = 0; twice < 2; ++twice) gateway.stop();
  EXPECT_FALSE(gateway.running());
  EXPECT_FALSE(tcp_connect(port));
}

TEST(Lifecycle, DestroyingARunningGatewayStopsIt) {
  const int port = free_port();
  std::optional<Gateway> gateway(one_route(port));
  gateway->start();
  ASSERT_TRUE(tcp_connect(port));
  gateway.reset();
  EXPECT_FALSE(tcp_connect(port));
}

// The binary validates while loading; a library user may build a gateway from
// a configuration of its own.
TEST(Lifecycle, GatewayRefusesAnInvalidConfiguration) {
  EXPECT_THROW(Gateway{ServerConfig{}}, std::runtime_error);  // no route
}

TEST(ThreadGroup, FinishedThreadsAreReclaimedWhileOthersRun) {
  std::thread([] {}).join();  // sanitizer runtimes add a helper thread with the first one
  const size_t before = thread_count(::getpid());
  ThreadGroup group;
  std::latch release(1);
  group.spawn([&release] { release.wait(); });
  for (int i = 0; i < 200; ++i) group.spawn([] {});
  // The long-running one, and at most one finished thread waiting to be joined.
  EXPECT_TRUE(eventually_true([&] { return thread_count(::getpid()) <= before + 2; }));
  release.count_down();
  group.join_all();
  EXPECT_EQ(thread_count(::getpid()), before);
}

TEST(ThreadGroup, JoinAllWaitsForEveryThread) {
  ThreadGroup group;
  std::atomic<int> done{0};
  std::latch release(1);
  // Each waits for the release, then counts itself.
  for (int i = 0; i < 8; ++i) group.spawn([&] { done += (release.wait(), 1); });
  std::jthread opener([&release] { release.count_down(); });  // while join_all() waits
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

std::pair<UniqueFd, UniqueFd> socket_pair() {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

TEST(ListedFd, ListedAfterShutdownAllIsShutDownAtOnce) {
  FdList list;
  list.shutdown_all();
  auto [ours, peer] = socket_pair();
  ListedFd listed(list, std::move(ours));
  EXPECT_EQ(::send(listed.get(), "x", 1, MSG_NOSIGNAL), -1);
}

TEST(ListedFd, LeavesTheListBeforeItsNumberIsReused) {
  FdList list;
  auto [ours, ours_peer] = socket_pair();
  const int number = ours.get();
  ListedFd{list, std::move(ours)};  // listed, then taken off the list, shut down and closed
  // The system hands out the lowest free number: the same one, to a new socket.
  auto [reused, peer] = socket_pair();
  ASSERT_EQ(reused.get(), number);
  list.shutdown_all();  // must not reach the new socket
  ASSERT_TRUE(send_all(peer.get(), "x", 1));
  EXPECT_EQ(recv_exact(reused.get(), 1), "x");
}

// Plays the service manager: a datagram socket named by NOTIFY_SOCKET, and
// what arrives on it, when.

// Binds a datagram socket at `path` ('@': abstract) with a 10 s receive time-out.
Fd notify_socket(const std::string& path) {
  sockaddr_un address{AF_UNIX, {}};
  path.copy(address.sun_path, path.size());
  if (path[0] == '@') address.sun_path[0] = '\0';
  Fd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  EXPECT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
  set_receive_timeout(socket.get(), scaled(10s));
  return socket;
}

// The next message that is not a periodic STATUS=.
std::optional<std::string> next_besides_status(int manager) {
  std::optional<std::string> message;
  for (int i = 0; i < 100 && (message = udp_recv(manager)) && message->starts_with("STATUS=");) ++i;
  return message;
}

TEST(Notify, ReadyOnlyOnceListenersAcceptStoppingOnSigterm) {
  const int port = free_port(), admin_port = free_port();
  TempDir dir;
  const std::string path = (dir.path() / "notify").string();
  const Fd manager = notify_socket(path);
  RunningServer server(server_ini({{"g", "tcp", port, "127.0.0.1", 9}}, 5000, 60000, "127.0.0.1",
                                  "admin_port = " + std::to_string(admin_port) + "\n"),
                       {.environment = {"NOTIFY_SOCKET=" + path}});
  ASSERT_EQ(udp_recv(manager.get()), "READY=1");
  for (const int listening : {port, admin_port}) EXPECT_TRUE(tcp_connect(listening)) << listening;
  EXPECT_EQ(server.terminate(), 0);
  EXPECT_EQ(next_besides_status(manager.get()), "STOPPING=1");
}

TEST(Notify, StatusCountsRoutesAndClientsThenSaysDraining) {
  const int tcp = free_port(), udp = free_port();
  TempDir dir;
  const std::string path = (dir.path() / "notify").string();
  const Fd manager = notify_socket(path);
  RunningServer server(
      server_ini({{"g", "tcp", tcp, "127.0.0.1", 9}, {"u", "udp", udp, "127.0.0.1", 9}}),
      {.environment = {"NOTIFY_SOCKET=" + path}});
  ASSERT_EQ(udp_recv(manager.get()), "READY=1");
  EXPECT_EQ(udp_recv(manager.get()), "STATUS=2 routes, 0 TCP connections, 0 UDP associations");
  server.process().signal(SIGQUIT);
  EXPECT_EQ(next_besides_status(manager.get()), "STOPPING=1");
  EXPECT_EQ(udp_recv(manager.get()), "STATUS=draining");
}

TEST(Notify, ReloadingCarriesTheMonotonicTime) {
  const std::string name = "@tarnwicket-notify-" + std::to_string(::getpid());
  const Fd manager = notify_socket(name);
  ASSERT_EQ(::setenv("NOTIFY_SOCKET", name.c_str(), 1), 0);
  // steady_clock is CLOCK_MONOTONIC on Linux.
  const auto before = std::chrono::steady_clock::now().time_since_epoch();
  notify_reloading();
  const auto after = std::chrono::steady_clock::now().time_since_epoch();
  ::unsetenv("NOTIFY_SOCKET");
  const std::string message = udp_recv(manager.get()).value_or("");
  const std::chrono::microseconds sent(std::stoll(message.substr(message.rfind('=') + 1)));
  EXPECT_EQ(message, "RELOADING=1\nMONOTONIC_USEC=" + std::to_string(sent.count()));
  EXPECT_LT(before - 1us, sent) << message;
  EXPECT_LE(sent, after) << message;
}

}  // namespace
}  // namespace tarnwicket::test
