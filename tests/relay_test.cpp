// The TCP and UDP relays through the real binary against upstreams of the
// test's own; faults around them: upstreams that are down, unresolvable,
// resetting or stalled, peers that stop reading or half-close, a connect
// storm above the limit, SIGTERM under load; the gateway's own failure paths;
// and churn.

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <functional>
#include <random>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

using Clock = std::chrono::steady_clock;

class TcpRelay : public RelayFixture {};

// 8 MB each way at once: the relay must not wait for one direction to finish.
TEST_P(TcpRelay, LargePayloadBothWays) {
  ASSERT_TRUE(start({tcp_route()}));
  Fd client = tcp_connect(port_);
  std::string payload(8 << 20, '\0');
  std::ranges::generate(payload, [gen = std::mt19937(7)]() mutable { return char(gen()); });
  std::thread writer([&] { EXPECT_TRUE(send_all(client.get(), payload.data(), payload.size())); });
  EXPECT_TRUE(recv_exact(client.get(), payload.size()) == payload);
  writer.join();
  client.reset();
  EXPECT_TRUE(proc().wait_for_line("[INFO] route g relay ended client->server"));
  EXPECT_TRUE(proc().wait_for_line("[INFO] route g relay ended server->client"));
}

// Clients that close with RST while their echoes are in flight.
TEST_P(TcpRelay, ClientResetsLeaveTheRouteServing) {
  ASSERT_TRUE(start({tcp_route()}));
  const std::string chunk(1 << 20, 'r');
  for (int i = 0; i < 5; ++i) {
    Fd reset = tcp_connect(port_);
    ASSERT_TRUE(send_all(reset.get(), chunk.data(), chunk.size()));
    reset_on_close(reset.get());
  }
  EXPECT_TRUE(proc().wait_for_lines("route g relay ended", 10));
  EXPECT_TRUE(back_to_idle());
  EXPECT_TRUE(echoes(tcp_connect(port_).get(), "still here"));
}

// One side sends 256 KiB and finishes while the other reads slowly, and with
// heartbeats sends a byte every 5 ms as game clients do: every byte arrives,
// as it does directly, whichever side finishes.
TEST_P(TcpRelay, FinalBytesArriveWholeBeforeTheClose) {
  Fd listener = tcp_listener();
  set_receive_timeout(listener.get(), 10s);  // bounds the accept
  ASSERT_TRUE(start({{"g", "tcp", port_, "127.0.0.1", local_port(listener.get())}}));
  const std::string payload(256 << 10, 't');
  for (const bool heartbeats : {false, true}) {
    for (const bool upstream_finishes : {true, false}) {
      Fd client = tcp_connect(port_);
      Fd upstream(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      ASSERT_TRUE(upstream);
      const int writer = upstream_finishes ? upstream.get() : client.get();
      const int reader = upstream_finishes ? client.get() : upstream.get();
      set_receive_timeout(reader, 10s);
      std::thread finish([&] {
        EXPECT_TRUE(send_all(writer, payload.data(), payload.size()));
        ::shutdown(writer, SHUT_WR);
      });
      size_t received = 0;
      char chunk[4096];
      for (ssize_t n; (n = ::recv(reader, chunk, sizeof chunk, 0)) > 0;) {
        received += static_cast<size_t>(n);
        if (heartbeats) ::send(reader, "h", 1, MSG_NOSIGNAL);
        std::this_thread::sleep_for(5ms);  // a slow reader: the load, not a wait
      }
      finish.join();
      EXPECT_EQ(received, payload.size()) << heartbeats << upstream_finishes;
    }
  }
}

TEST_P(TcpRelay, RecoversFromDescriptorExhaustion) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizer runtimes need descriptors of their own (AddressSanitizer
  // probes memory through a pipe) and then fail or stall at random.
  GTEST_SKIP() << "not meaningful under the sanitizers";
#endif
  // UDP associations hold exactly one descriptor each: fill the process's
  // table with them, then a TCP client finds accept failing until they expire.
  // They must outlive the filling under a slow sanitizer build, hence the time factor.
  const auto idle = static_cast<int>(scaled(1000ms).count());
  ASSERT_TRUE(start({tcp_route(), udp_route()}, 5000, idle, {.nofile_limit = 48}));
  std::vector<Fd> udp_clients;
  for (int i = 0; i < 48 && proc().count_lines("packet failed") == 0; ++i)
    udp_send(udp_clients.emplace_back(udp_connect(udp_port_)).get(), "fill");
  ASSERT_TRUE(proc().wait_for_line("[WARN] UDP route u packet failed: "));
  // A blocked accept already holds a descriptor; the one after it finds none.
  std::vector<Fd> tcp_clients;
  for (int i = 0; i < 50 && !proc().wait_for_line("[WARN] accept failed on route g", 100ms); ++i)
    tcp_clients.push_back(tcp_connect(port_));
  EXPECT_TRUE(proc().wait_for_line("[WARN] accept failed on route g"));
  // Once the associations time out, the route serves clients again.
  EXPECT_TRUE(eventually_true([&] { return echoes(tcp_connect(port_).get(), "late"); }));
}

class UdpRelay : public RelayFixture {
 protected:
  // Connected: an echo from any port but the gateway's own is never received.
  Fd a_ = udp_connect(udp_port_);
  Fd b_ = udp_connect(udp_port_);
};

// One upstream socket per client port, and not the gateway's own port.
TEST_P(UdpRelay, OneUpstreamSocketPerClientPort) {
  ASSERT_TRUE(start({udp_route()}));
  for (const char* text : {"a1", "a2"}) EXPECT_TRUE(echoes(a_.get(), text));
  EXPECT_TRUE(echoes(b_.get(), "b1"));
  EXPECT_EQ(udp_upstream_.sender_ports().size(), 2u);
  EXPECT_EQ(std::ranges::count(udp_upstream_.sender_ports(), udp_port_), 0);
}

// The largest datagram passes whole; an empty one is relayed and stops nothing.
TEST_P(UdpRelay, LargestAndEmptyDatagramsPassWhole) {
  ASSERT_TRUE(start({udp_route()}));
  EXPECT_TRUE(echoes(a_.get(), std::string(65507, 'x')));
  for (const char* text : {"", "after empty"}) EXPECT_TRUE(echoes(a_.get(), text)) << text;
}

// Above the limit each datagram of a new client is dropped with a warning.
TEST_P(UdpRelay, AssociationLimitDropsNewClientsWithAWarning) {
  ASSERT_TRUE(start({udp_route(1)}));
  EXPECT_TRUE(echoes(a_.get(), "a"));
  for (const char* text : {"b1", "b2"}) ASSERT_TRUE(udp_send(b_.get(), text));
  EXPECT_TRUE(proc().wait_for_lines("[WARN] UDP association limit reached on route u", 2));
  EXPECT_TRUE(echoes(a_.get(), "a still served"));
  EXPECT_EQ(udp_upstream_.sender_ports().size(), 1u);
}

// A new client's datagrams, sent before its association exists, keep their order.
TEST_P(UdpRelay, NewClientsBurstKeepsItsOrder) {
  ASSERT_TRUE(start({udp_route()}));
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(udp_send(a_.get(), std::to_string(i)));
  EXPECT_TRUE(echoes(b_.get(), "b"));  // another newcomer among them
  for (int i = 0; i < 100; ++i) EXPECT_EQ(udp_recv(a_.get()), std::to_string(i));
}

TEST_P(UdpRelay, UnresolvableTargetWarnsPerDatagram) {
  ASSERT_TRUE(start({{"x", "udp", udp_port_, "no-such-host.invalid", 7000}}));
  for (const char* text : {"1", "2"}) ASSERT_TRUE(udp_send(a_.get(), text));
  EXPECT_TRUE(proc().wait_for_lines("[WARN] UDP route x packet failed: 解析 UDP 上游地址失败", 2));
}

// Live associations end at once, not after the 60 s idle time-out.
TEST_P(UdpRelay, StopEndsLiveAssociationsPromptly) {
  ASSERT_TRUE(start({udp_route()}));
  for (const Fd* client : {&a_, &b_}) EXPECT_TRUE(echoes(client->get(), "a"));
  EXPECT_TRUE(stops_within(3s));
  EXPECT_EQ(proc().count_lines("UDP recvfrom failed"), 0u);
}

class Faults : public RelayFixture {
 protected:
  // Three clients on `route`, whose upstream connect fails: each is closed
  // with `warning`, and each failure gives its slot back (the route has fewer
  // slots than that).
  void expect_each_closed(const RouteSpec& route, const std::string& warning) {
    ASSERT_TRUE(start({route}));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(wait_closed(tcp_connect(port_).get()));
    EXPECT_TRUE(
        proc().wait_for_lines("[WARN] route " + route.name + " connection closed: " + warning, 3));
    EXPECT_TRUE(back_to_idle());
  }
  const int down_ = free_port();
};

// Once the upstream listens on its port again, two clients are relayed at once.
TEST_P(Faults, UpstreamDownClosesEachClientUntilItIsBack) {
  expect_each_closed({"g", "tcp", port_, "127.0.0.1", down_, 2},
                     "连接 TCP 上游失败 127.0.0.1:" + std::to_string(down_));
  TcpUpstream back(TcpUpstream::Mode::kEcho, down_);
  Fd a = tcp_connect(port_), b = tcp_connect(port_);
  for (const Fd* client : {&a, &b}) EXPECT_TRUE(echoes(client->get(), "back"));
  EXPECT_EQ(proc().count_lines("connection limit reached"), 0u);
}

TEST_P(Faults, UnresolvableUpstreamClosesEachClient) {
  expect_each_closed({"h", "tcp", port_, "no-such-host.invalid", 7000, 1}, "解析 TCP 上游地址失败");
}

// Echoes pile up until every buffer on the way back is full; the gateway's
// send to this client then times out, and the only slot is free again.
TEST_P(Faults, NeverReadingClientIsFreedBySendTimeout) {
  ASSERT_TRUE(start({tcp_route(1)}, 300));
  Fd client = tcp_connect(port_);
  const std::string chunk(1 << 16, 'w');
  // Never reading, until the gateway's close makes a send fail.
  for (int i = 0; i < 1024 && send_all(client.get(), chunk.data(), chunk.size()); ++i) {
  }
  EXPECT_TRUE(proc().wait_for_lines("route g relay ended", 2, 20s));
  EXPECT_TRUE(wait_closed(client.get()));
  EXPECT_TRUE(back_to_idle());
  EXPECT_TRUE(echoes(tcp_connect(port_).get(), "served"));
}

// No half-close: a client's FIN ends both directions, and the slot comes back.
TEST_P(Faults, ClientShutdownEndsBothDirections) {
  ASSERT_TRUE(start({tcp_route(1)}));
  Fd client = tcp_connect(port_);
  ASSERT_TRUE(echoes(client.get(), "before"));
  ::shutdown(client.get(), SHUT_WR);
  EXPECT_TRUE(wait_closed(client.get()));
  EXPECT_TRUE(back_to_idle());
  EXPECT_TRUE(echoes(tcp_connect(port_).get(), "again"));
}

TEST_P(Faults, StopWithAnUpstreamThatStalls) {
  Fd stalled = tcp_listener();  // never accepted from, so never read
  ASSERT_TRUE(start({{"g", "tcp", port_, "127.0.0.1", local_port(stalled.get())}}));
  // Send until the client has had no room for a whole second: the gateway is
  // stuck sending upstream.
  Fd client = tcp_connect(port_);
  const std::string chunk(1 << 16, 's');
  pollfd room{client.get(), POLLOUT, 0};
  int rounds = 0;
  while (++rounds < 4096 && ::poll(&room, 1, 1000) == 1)
    ::send(client.get(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  ASSERT_LT(rounds, 4096);
  EXPECT_TRUE(stops_within(3s));
}

// A stop that ends an upstream connect still waiting for its answer says
// nothing of it: the upstream did not fail.
TEST_P(Faults, StopDuringAPendingConnectReportsNoFailure) {
  Fd full(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_EQ(::bind(full.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(::listen(full.get(), 0), 0);
  const int upstream = local_port(full.get());
  // One connection fills the accept queue; SYNs after it go unanswered.
  const Fd queued = ip_connect(SOCK_STREAM, "127.0.0.1", upstream);
  Fd waiting(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  at.sin_port = htons(static_cast<uint16_t>(upstream));
  ::connect(waiting.get(), reinterpret_cast<sockaddr*>(&at), sizeof at);
  ASSERT_TRUE(eventually_true([&] { return tcp_sockets_to(upstream, "02") == 1; }));
  ASSERT_TRUE(start({{"g", "tcp", port_, "127.0.0.1", upstream}}, 10000));
  Fd client = tcp_connect(port_);
  ASSERT_TRUE(eventually_true([&] { return tcp_sockets_to(upstream, "02") == 2; }));
  EXPECT_TRUE(stops_within(3s));
  EXPECT_EQ(proc().count_lines("连接 TCP 上游失败"), 0u);
}

// 60 connects at once on 20 slots: exactly 20 relayed, one limit line per
// refused client; and the same once every slot has come back.
TEST_P(Faults, ConnectStormRelaysTheLimitAndFreesEverySlot) {
  constexpr int kLimit = 20, kClients = 60;
  ASSERT_TRUE(start({tcp_route(kLimit)}));
  const std::string limit_line = "[WARN] connection limit reached on route g";
  for (size_t storm = 1; storm <= 2; ++storm) {
    std::vector<Fd> clients;  // all held until every one is answered
    for (int i = 0; i < kClients; ++i) clients.push_back(tcp_connect(port_));
    EXPECT_EQ(std::ranges::count_if(clients, [](const Fd& c) { return echoes(c.get(), "s"); }),
              kLimit);
    EXPECT_TRUE(proc().wait_for_lines(limit_line, storm * (kClients - kLimit)));
    clients.clear();
    ASSERT_TRUE(back_to_idle());
  }
  EXPECT_EQ(proc().count_lines(limit_line), 2u * (kClients - kLimit));
}

// Whole lines only, and nothing but the start, the listener, two per
// connection, and the stop that comes after every connection has ended.
TEST_P(Faults, SigtermUnderFullLoad) {
  constexpr int kConnections = 40;
  ASSERT_TRUE(start({tcp_route()}));
  std::atomic<int> busy{0};  // connections that have made a few round trips
  std::vector<std::jthread> clients;
  for (int c = 0; c < kConnections; ++c)
    clients.emplace_back([&, c, until = Clock::now() + scaled(30s)] {
      Fd client = tcp_connect(port_);
      const std::string chunk(1 << 16, static_cast<char>('a' + c % 26));
      for (int round = 0; round < 100000 && Clock::now() < until && echoes(client.get(), chunk);)
        busy += ++round == 3;  // and on until the stop ends it
    });
  ASSERT_TRUE(eventually_true([&] { return busy.load() == kConnections; }, 20s));
  EXPECT_TRUE(stops_within(5s));  // sanitizer builds included
  const std::string out = proc().stdout_text();
  EXPECT_EQ(std::ranges::count(out, '\n'), 2 * kConnections + 3) << out;
  EXPECT_TRUE(out.ends_with("[INFO] server stopped\n")) << out;
  EXPECT_EQ(proc().count_lines("[INFO] route g relay ended "), 2u * kConnections);
}

// The gateway's own failure paths: no memory, a reader of standard output
// that stops reading, a host with several addresses, a small receive buffer.

class FailurePaths : public RelayFixture {};

TEST_P(FailurePaths, MemoryPressureLeavesTheProcessServing) {
  if (kSanitized) GTEST_SKIP() << "sanitizer runtimes reserve address space of their own";
  rlimit files{};  // room for 2,000 clients in this process
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  // On threads, 2,000 connections need far more than 300 MB of stacks: thread
  // creation and allocation fail while they are held. The event engine holds
  // them in a fraction of that.
  ASSERT_TRUE(start({tcp_route()}, 5000, 60000, {.memory_limit = 300000000}));
  std::vector<Fd> clients(2000);
  for (Fd& client : clients) send_all((client = tcp_connect(port_)).get(), "x", 1);
  if (!events()) {
    EXPECT_TRUE(proc().wait_for_line("connection closed: Resource temporarily unavailable"));
  }
  clients.clear();
  EXPECT_TRUE(eventually_true([&] { return echoes(tcp_connect(port_).get(), "served again"); }));
}

// Standard output is a pipe of one page that nobody reads.
TEST_P(FailurePaths, StalledStdoutHoldsUpNeitherRelayNorStop) {
  Fd read_end;
  const Fd write_end = pipe_into(read_end);
  ::fcntl(write_end.get(), F_SETPIPE_SZ, 4096);
  const TempDir dir;
  Process server(server_binary(),
                 {"--config", dir.write("s.ini", on_engine(server_ini({tcp_route()})))},
                 {.stdout_fd = write_end.get()});
  EXPECT_TRUE(eventually_true([&] { return static_cast<bool>(tcp_connect(port_)); }));
  for (int i = 0; i < 500; ++i) ASSERT_TRUE(echoes(tcp_connect(port_).get(), "session"));
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(2s), 0) << "no exit within 2 s (scaled) of SIGTERM";
}

// A client that sent to 127.0.0.5 takes replies only from there.
TEST_P(FailurePaths, UdpRepliesLeaveFromTheAddressTheClientSentTo) {
  ASSERT_TRUE(start({udp_route()}, 5000, 60000, {}, "0.0.0.0"));
  EXPECT_TRUE(echoes(udp_connect(udp_port_, "127.0.0.5").get(), "ping"));
}

TEST_P(FailurePaths, ReceiveBufferBelowTheAskIsReportedOnce) {
  // net.core.rmem_max may grant every size.
  if (proc_number("/proc/sys/net/core/rmem_max", "") >= 67108864) GTEST_SKIP() << "no cap";
  // Route small on the fixture's TCP port, free for UDP too.
  ASSERT_TRUE(start(
      {{"big", "udp", udp_port_, "127.0.0.1", 9, 0, true, "udp_receive_buffer_bytes = 67108864\n"},
       {"small", "udp", port_, "127.0.0.1", 9, 0, true, "udp_receive_buffer_bytes = 4096\n"}}));
  EXPECT_EQ(proc().count_lines("[WARN] route big UDP receive buffer is "), 1u);
  EXPECT_EQ(proc().count_lines("bytes, less than asked"), 1u);
}

// Churn: tens of thousands of short TCP connections and thousands of UDP
// associations through one running server, which must then be back to its
// idle threads, descriptors and memory. Sanitizer builds run several times
// slower, so they use smaller counts; the bounds stay.

// TCP connections in each of two halves, and UDP clients.
constexpr int kTcpHalf = kSanitized ? 5000 : 10000, kUdpChurn = kSanitized ? 500 : 2000;

// `count` exchanges (each given its own text) over four client threads,
// within 90 s; gives the number that failed (or were not made in time).
int churn(int count, const std::function<bool(const std::string&)>& exchange) {
  const auto until = Clock::now() + scaled(90s);
  std::atomic<int> next{0}, failures{0};
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i; (i = next++) < count;)
        failures += Clock::now() >= until || !exchange(std::to_string(i));
    });
  threads.clear();
  return failures.load();
}

using Churn = RelayFixture;

TEST_P(Churn, ShortConnectionsAndAssociationsLeaveNothingBehind) {
  ASSERT_TRUE(start({tcp_route(), udp_route()}, 5000, 1000));
  auto tcp = [&](const std::string& text) { return echoes(tcp_connect(port_).get(), text); };
  // Each UDP client from a port of its own, so through an association of its own.
  auto udp = [&](const std::string& text) { return echoes(udp_connect(udp_port_).get(), text); };
  auto settled = [&] {  // back to the idle threads and descriptors; the resident KiB then
    EXPECT_TRUE(back_to_idle(20s));
    return resident_kib(proc().pid());
  };
  const double idle = settled();
  // Two halves: the first fills the caches of the allocator and the thread
  // library; the second must then leave memory where the first left it.
  ASSERT_EQ(churn(kTcpHalf, tcp), 0);
  const double warm = settled();
  ASSERT_EQ(churn(kTcpHalf, tcp), 0);
  const double after_tcp = settled();
  ASSERT_EQ(churn(kUdpChurn, udp), 0);
  const double after_udp = settled();  // every association idles out after 1 s
  EXPECT_EQ(proc().count_lines("relay ended"), 4u * kTcpHalf);
  EXPECT_EQ(proc().count_lines("[WARN]"), 0u);
  if (!kSanitized) {  // sanitizers keep freed memory in quarantine; their leak check covers it
    EXPECT_LE(after_tcp, warm + 4 * 1024);   // 4 MiB for the second half
    EXPECT_LE(after_udp, idle + 64 * 1024);  // 64 MiB over the idle process
  }
}

TARNWICKET_ON_BOTH_ENGINES(TcpRelay);
TARNWICKET_ON_BOTH_ENGINES(UdpRelay);
TARNWICKET_ON_BOTH_ENGINES(Faults);
TARNWICKET_ON_BOTH_ENGINES(FailurePaths);
TARNWICKET_ON_BOTH_ENGINES(Churn);

}  // namespace
}  // namespace tarnwicket::test
