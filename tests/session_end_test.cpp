// Why sessions end, on both engines: each end reason brought about on
// purpose and read from the session's record (its bytes, datagrams,
// upstream and duration), and the metrics that count and time the ends.

#include <poll.h>
#include <sys/socket.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <sstream>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

using Clock = std::chrono::steady_clock;
using Record = std::map<std::string, std::string>;  // the text form's key=value fields

class SessionEnds : public RelayFixture {
 protected:
  // The server with its session records as text, full addresses, in the test's file.
  bool start_recording(const std::vector<RouteSpec>& routes, int connection_timeout_ms = 5000,
                       int udp_idle_timeout_ms = 60000, const std::string& keys = "") {
    began_ = Clock::now();
    return start(routes, connection_timeout_ms, udp_idle_timeout_ms, {}, "127.0.0.1",
                 "session_log = " + records_.string() +
                     "\nsession_log_format = text\nsession_log_address = full\nadmin_port = " +
                     std::to_string(admin_) + "\n" + keys);
  }

  // The records written so far.
  std::vector<Record> records() const {
    std::vector<Record> out;
    std::istringstream lines(std::filesystem::exists(records_) ? read_file(records_) : "");
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      Record record;
      for (std::string word; words >> word;) {
        const auto equals = word.find('=');
        if (equals != std::string::npos) record[word.substr(0, equals)] = word.substr(equals + 1);
      }
      out.push_back(std::move(record));
    }
    return out;
  }

  // The test's one session, once its record is written: its end, byte counts
  // and upstream port (0: none was connected); it lasted `at_least`, and no
  // longer than the test so far.
  void expect_record(const std::string& end, int from_client, int to_client, int upstream_port,
                     std::chrono::milliseconds at_least = 0ms) {
    const auto written = eventually([&] { return records(); }, [](auto r) { return !r.empty(); });
    const auto lasted =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began_);
    ASSERT_EQ(written.size(), 1u);
    Record r = written[0];
    EXPECT_EQ(r["end"], end);
    EXPECT_EQ(r["bytes_from_client"], std::to_string(from_client));
    EXPECT_EQ(r["bytes_to_client"], std::to_string(to_client));
    EXPECT_EQ(r["upstream"], upstream_port ? "127.0.0.1:" + std::to_string(upstream_port) : "");
    EXPECT_TRUE(r["client"].starts_with("127.0.0.1:")) << r["client"];
    EXPECT_GE(std::stoll(r["duration_ms"]), at_least.count());
    EXPECT_LE(std::stoll(r["duration_ms"]), lasted.count());
  }

  // A route to an upstream socket of the test's, which takes the one
  // connection and gives it back, once the client has sent and read "ping".
  Fd own_upstream_session(Fd& client) {
    listener_ = tcp_listener();
    set_receive_timeout(listener_.get(), scaled(10s));  // bounds the accept
    EXPECT_TRUE(start_recording({{"g", "tcp", port_, "127.0.0.1", local_port(listener_.get())}}));
    client = tcp_connect(port_);
    Fd upstream(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_TRUE(send_all(client.get(), "ping", 4));
    EXPECT_EQ(recv_exact(upstream.get(), 4), "ping");
    EXPECT_TRUE(send_all(upstream.get(), "pong!", 5));
    EXPECT_EQ(recv_exact(client.get(), 5), "pong!");
    return upstream;
  }
  int own_port() const { return local_port(listener_.get()); }

  TempDir dir_;
  const std::filesystem::path records_ = dir_.path() / "sessions.log";
  const int admin_ = free_port();
  Clock::time_point began_;
  Fd listener_;
};

// TCP. Each end gives back what the session held.

TEST_P(SessionEnds, ClientClose) {
  ASSERT_TRUE(start_recording({tcp_route()}));
  Fd client = tcp_connect(port_);
  ASSERT_TRUE(echoes(client.get(), "hello"));
  client.reset();
  expect_record("client_closed", 5, 5, tcp_upstream_.port());
}

TEST_P(SessionEnds, ClientReset) {
  Fd client;
  const Fd upstream = own_upstream_session(client);
  reset_on_close(client.get());
  client.reset();
  expect_record("client_reset", 4, 5, own_port());
}

TEST_P(SessionEnds, SilentClientTimesOut) {
  ASSERT_TRUE(start_recording({tcp_route()}, 300));
  Fd client = tcp_connect(port_);
  ASSERT_TRUE(echoes(client.get(), "then quiet"));
  EXPECT_TRUE(wait_closed(client.get()));
  expect_record("client_timeout", 10, 10, tcp_upstream_.port(), 300ms);
  EXPECT_TRUE(back_to_idle());
}

TEST_P(SessionEnds, UpstreamClose) {
  Fd client;
  Fd upstream = own_upstream_session(client);
  upstream.reset();
  EXPECT_TRUE(wait_closed(client.get()));
  expect_record("upstream_closed", 4, 5, own_port());
}

// Mid-stream: after the first bytes have passed both ways.
TEST_P(SessionEnds, UpstreamReset) {
  Fd client;
  Fd upstream = own_upstream_session(client);
  reset_on_close(upstream.get());
  upstream.reset();
  EXPECT_TRUE(wait_closed(client.get()));
  expect_record("upstream_reset", 4, 5, own_port());
  EXPECT_TRUE(proc().wait_for_lines("route g relay ended", 2));
  EXPECT_TRUE(back_to_idle());
}

// The upstream never reads: once every buffer on the way is full, the send
// to it gives up after connection_timeout_ms.
TEST_P(SessionEnds, StalledUpstreamTimesOut) {
  const Fd stalled = tcp_listener();  // never accepted from
  ASSERT_TRUE(start_recording({{"g", "tcp", port_, "127.0.0.1", local_port(stalled.get())}}, 300));
  Fd client = tcp_connect(port_);
  const std::string chunk(1 << 16, 's');
  pollfd room{client.get(), POLLOUT, 0};
  for (int i = 0; i < 4096 && ::poll(&room, 1, 100) == 1 && (room.revents & POLLOUT); ++i) {
    if (::send(client.get(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) break;
  }
  const auto written = eventually([&] { return records(); }, [](auto r) { return !r.empty(); });
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].at("end"), "upstream_timeout");
  EXPECT_EQ(written[0].at("bytes_to_client"), "0");
  EXPECT_GE(std::stoll(written[0].at("duration_ms")), 300);
}

TEST_P(SessionEnds, UnreachableUpstream) {
  ASSERT_TRUE(start_recording({{"g", "tcp", port_, "127.0.0.1", free_port()}}));
  EXPECT_TRUE(wait_closed(tcp_connect(port_).get()));
  expect_record("upstream_connect_failed", 0, 0, 0);
}

TEST_P(SessionEnds, StopCutsOpenConnections) {
  ASSERT_TRUE(start_recording({tcp_route()}));
  Fd client = tcp_connect(port_);
  ASSERT_TRUE(echoes(client.get(), "hello"));
  EXPECT_TRUE(stops_within(3s));
  expect_record("stop", 5, 5, tcp_upstream_.port());
}

TEST_P(SessionEnds, DrainTimeoutCutsOpenConnections) {
  ASSERT_TRUE(start_recording({tcp_route()}, 5000, 60000, "drain_timeout_ms = 300\n"));
  Fd client = tcp_connect(port_);
  ASSERT_TRUE(echoes(client.get(), "hello"));
  proc().signal(SIGQUIT);
  EXPECT_EQ(proc().wait_exit(), 0);
  expect_record("drain_timeout", 5, 5, tcp_upstream_.port(), 300ms);
}

// Behind a balancer the record names the client its header named, masked
// by default, and counts no header byte.
TEST_P(SessionEnds, BehindAProxyHeaderTheClientIsTheHeaders) {
  ASSERT_TRUE(start({{"g", "tcp", port_, "127.0.0.1", tcp_upstream_.port(), 0, true,
                      "accept_proxy_protocol = true\ntrusted_proxies = 127.0.0.1\n"}},
                    5000, 60000, {}, "127.0.0.1",
                    "session_log = " + records_.string() + "\nsession_log_format = text\n"));
  Fd client = tcp_connect(port_);
  const std::string header = "PROXY TCP4 203.0.113.77 10.0.0.1 5000 7000\r\n";
  ASSERT_TRUE(send_all(client.get(), header.data(), header.size()));
  ASSERT_TRUE(echoes(client.get(), "hello"));
  client.reset();
  const auto written = eventually([&] { return records(); }, [](auto r) { return !r.empty(); });
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].at("client"), "203.0.113.0");
  EXPECT_EQ(written[0].at("bytes_from_client"), "5");
}

// UDP: the record's byte counts are the datagrams' payloads.

TEST_P(SessionEnds, IdleAssociation) {
  ASSERT_TRUE(start_recording({udp_route()}, 5000, 1000));
  Fd client = udp_connect(udp_port_);
  ASSERT_TRUE(echoes(client.get(), "ping"));
  ASSERT_TRUE(echoes(client.get(), "pong!"));
  expect_record("idle", 9, 9, udp_upstream_.port(), 1000ms);
  EXPECT_EQ(records()[0]["datagrams_from_client"], "2");
  EXPECT_EQ(records()[0]["datagrams_to_client"], "2");
}

TEST_P(SessionEnds, UnansweredAssociation) {
  const Fd silent = udp_socket();
  RouteSpec route = udp_route();
  route.target_port = local_port(silent.get());
  route.extra = "udp_first_reply_timeout_ms = 500\n";
  ASSERT_TRUE(start_recording({route}, 5000, 60000));
  Fd client = udp_connect(udp_port_);
  for (const char* datagram : {"a", "bb", "ccc"}) ASSERT_TRUE(udp_send(client.get(), datagram));
  expect_record("first_reply_timeout", 6, 0, route.target_port, 500ms);
  EXPECT_EQ(records()[0]["datagrams_from_client"], "3");
  EXPECT_EQ(records()[0]["datagrams_to_client"], "0");
}

// An unconfirmed association gives way to a new client when the table is full.
TEST_P(SessionEnds, EvictedAssociation) {
  RouteSpec route = udp_route(1);
  route.extra = "udp_evict_unconfirmed = true\n";
  ASSERT_TRUE(start_recording({route}));
  Fd silent = udp_connect(udp_port_);
  ASSERT_TRUE(echoes(silent.get(), "once"));
  EXPECT_TRUE(echoes(udp_connect(udp_port_).get(), "room"));
  expect_record("evicted", 4, 4, udp_upstream_.port());
}

// A reload that removes a route cuts its associations.
TEST_P(SessionEnds, RouteRemovedByAReload) {
  ASSERT_TRUE(start_recording({tcp_route(), udp_route()}));
  Fd client = udp_connect(udp_port_);
  ASSERT_TRUE(echoes(client.get(), "ping"));
  ASSERT_TRUE(reload(server_ini({tcp_route()}, 5000, 60000, "127.0.0.1",
                                "session_log = " + records_.string() +
                                    "\nsession_log_format = text\nsession_log_address = full\n")));
  ASSERT_EQ(proc().count_lines("configuration reloaded"), 1u);
  expect_record("route_removed", 4, 4, udp_upstream_.port());
}

// The metrics: the reason counted and the duration observed, once per
// session; the connect timed; every series from the start. (Their exposition
// is promtool's to check, in admin_test's scrape, which holds them all.)
TEST_P(SessionEnds, EndsAreCountedAndTimedInTheMetrics) {
  ASSERT_TRUE(start_recording({tcp_route()}));
  ASSERT_TRUE(echoes(tcp_connect(port_).get(), "hello"));
  expect_record("client_closed", 5, 5, tcp_upstream_.port());
  const std::string metrics = http_body(http_request(admin_, "GET /metrics"));
  for (const TableRow& series : table("session_end_series.txt"))
    EXPECT_NE(metrics.find("\n" + series.input + "\n"), std::string::npos) << series.where;
}

TARNWICKET_ON_BOTH_ENGINES(SessionEnds);

}  // namespace
}  // namespace tarnwicket::test
