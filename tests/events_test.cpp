// What only the event engine can get wrong: many clients on one loop,
// back-pressure without a busy loop, partial writes, and timers that come due
// as their connections close. Everything else runs on both engines through
// the relay fixture's parameter.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

// CPU time the process has used, all its threads together, in milliseconds.
double cpu_ms(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(in)), {});
  // The fields after the command name, which may hold spaces: state is the third.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stod(field);  // user, then system time
  }
  return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

class EventLoops : public RelayFixture {
 protected:
  bool start_on_one_worker(const std::vector<RouteSpec>& routes, int connection_timeout_ms) {
    return start(routes, connection_timeout_ms, 60000, {}, "127.0.0.1", "worker_threads = 1\n");
  }
};

// 400 TCP clients and 100 UDP clients held at once by one loop, and by no
// more threads than the idle server runs.
TEST_P(EventLoops, ManyClientsShareOneWorker) {
  constexpr int kTcp = 400, kUdp = 100;
  ASSERT_TRUE(start_on_one_worker({tcp_route(), udp_route()}, 5000));
  const size_t threads = thread_count(proc().pid());
  std::vector<Fd> clients;
  for (int i = 0; i < kTcp; ++i) clients.push_back(tcp_connect(port_));
  for (int i = 0; i < kUdp; ++i) clients.push_back(udp_connect(udp_port_));
  int served = 0;
  for (size_t i = 0; i < clients.size(); ++i) served += echoes(clients[i].get(), std::to_string(i));
  EXPECT_EQ(served, kTcp + kUdp);
  EXPECT_EQ(thread_count(proc().pid()), threads);
  clients.resize(kTcp);  // the associations stay until their idle time-out
  clients.clear();
  EXPECT_TRUE(proc().wait_for_lines("relay ended", 2 * kTcp));
}

// A client that sends faster than its upstream reads: the loop stops reading
// it, holds at most one chunk for it, and sleeps. Once the upstream reads,
// every byte arrives in order, through the partial writes the full buffers
// made on the way.
TEST_P(EventLoops, SlowUpstreamHoldsTheClientBackWithoutSpinning) {
  Fd stalled = tcp_listener();  // not accepted from, so not read, until the client is held
  set_receive_timeout(stalled.get(), 10s);
  ASSERT_TRUE(start({{"g", "tcp", port_, "127.0.0.1", local_port(stalled.get())}}, 60000));
  const pid_t pid = proc().pid();
  const double resident = resident_kib(pid);
  Fd client = tcp_connect(port_);
  std::string sent;
  std::mt19937 gen(11);
  std::string chunk(1 << 16, '\0');
  pollfd room{client.get(), POLLOUT, 0};
  bool held = false;
  double cpu = 0;
  for (int round = 0; round < 4096 && !held; ++round) {
    cpu = cpu_ms(pid);
    held = ::poll(&room, 1, 1000) != 1;  // a whole second without room
    if (held) break;
    std::ranges::generate(chunk, [&] { return static_cast<char>(gen()); });
    const ssize_t n = ::send(client.get(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) sent.append(chunk, 0, static_cast<size_t>(n));
  }
  ASSERT_TRUE(held);
  EXPECT_LT(cpu_ms(pid) - cpu, 100.0) << "the server ran while it had nothing to do";
  EXPECT_LT(resident_kib(pid) - resident, 1024.0) << "more held than a chunk or two";
  Fd upstream(::accept4(stalled.get(), nullptr, nullptr, SOCK_CLOEXEC));
  set_receive_timeout(upstream.get(), 10s);
  EXPECT_TRUE(recv_exact(upstream.get(), sent.size()) == sent);
}

// Client time-outs of 100 ms come due while the clients close, some with a
// reset: each connection ends once, with its two lines, and nothing is left.
TEST_P(EventLoops, TimeoutsRacingClosesEndEachConnectionOnce) {
  constexpr size_t kClients = 200, kRounds = 3;
  ASSERT_TRUE(start_on_one_worker({tcp_route()}, 100));
  for (size_t round = 0; round < kRounds; ++round) {
    std::vector<Fd> clients;
    for (size_t i = 0; i < kClients; ++i) {
      clients.push_back(tcp_connect(port_));
      send_all(clients.back().get(), "x", 1);
    }
    // Once the first of them times out, the rest close as theirs come due.
    EXPECT_TRUE(proc().wait_for_lines("relay ended", 2 * round * kClients + 1));
    for (size_t i = 0; i < kClients; ++i) {
      if (i % 2 == 0) reset_on_close(clients[i].get());
      clients[i].reset();
    }
    EXPECT_TRUE(proc().wait_for_lines("relay ended", 2 * (round + 1) * kClients));
  }
  EXPECT_TRUE(back_to_idle());
  EXPECT_EQ(proc().count_lines("relay ended"), 2 * kRounds * kClients);
  EXPECT_TRUE(echoes(tcp_connect(port_).get(), "served"));
}

INSTANTIATE_TEST_SUITE_P(Engine, EventLoops, ::testing::Values("events"), engine_name);

}  // namespace
}  // namespace tarnwicket::test
