// The admin listener: the HTTP endpoints and their limits, counters after known
// traffic, the stop, and promtool's check of a scrape. Its configuration
// rules are in the server configuration's table.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "config/server_config.h"
#include "gateway/gateway.h"
#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

// One TCP route that nothing uses, and the admin listener.
std::string admin_ini(int admin_port) {
  return server_ini({{"g", "tcp", free_port(), "127.0.0.1", 9}}, 5000, 60000, "127.0.0.1",
                    "admin_port = " + std::to_string(admin_port) + "\n");
}

using Expected = std::map<std::string, double>;  // series and values

// A series' value in a scrape of the admin listener; -1 when it is missing.
double scraped(int admin_port, const std::string& series) {
  const std::string text = http_body(http_request(admin_port, "GET /metrics"));
  const auto at = text.find("\n" + series + " ");
  return at == std::string::npos ? -1 : std::stod(text.substr(at + series.size() + 2));
}

// Reads until the series hold the expected values: counters are added right
// after a send, so a client may see its bytes a moment before they count.
Expected read_until(const Expected& expected, int admin_port) {
  return eventually(
      [&] {
        Expected got;
        for (const auto& [series, value] : expected) got[series] = scraped(admin_port, series);
        return got;
      },
      [&](const Expected& got) { return got == expected; });
}

// Routes g (TCP, at most one connection), u (UDP, whose associations end after
// 2 s of upstream silence) and q"\x (TCP and UDP, nothing listening upstream),
// with traffic of known size; the TCP and UDP clients stay open.
class AdminTraffic : public RelayFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(start(
        {tcp_route(1), udp_route(), {"q\"\\x", "both", dead_, "127.0.0.1", free_port()}}, 5000,
        2000, {}, "127.0.0.1",
        "admin_port = " + std::to_string(admin_) + "\nadmin_allow = 127.0.0.1|127.0.1.0/24\n"));
    client_ = tcp_connect(port_);
    udp_client_ = udp_connect(udp_port_);
    ASSERT_TRUE(echoes(client_.get(), "hello"));
    EXPECT_TRUE(wait_closed(tcp_connect(port_).get()));  // over the limit of 1
    EXPECT_TRUE(wait_closed(tcp_connect(dead_).get()));  // nothing listens upstream
    for (const char* text : {"ping", "pong!"}) ASSERT_TRUE(echoes(udp_client_.get(), text));
  }
  const int dead_ = free_port(), admin_ = free_port();
  Fd client_, udp_client_;
};

// The same server, for the endpoints.
class AdminEndpoints : public AdminTraffic {};

// The counters after the set-up's traffic, from "series value" lines.
const Expected kCounters = [] {
  Expected out;
  std::istringstream in(test_data("admin_traffic.metrics", {{"@VERSION@", TARNWICKET_VERSION}}));
  for (std::string series; in >> series;) in >> out[series];
  return out;
}();
const std::string kTcpGauge = R"(tarnwicket_tcp_connections{route="g"})";
const std::string kUdpGauge = R"(tarnwicket_udp_associations{route="u"})";

TEST_P(AdminEndpoints, AnswersByMethodAndPath) {
  EXPECT_EQ(proc().count_lines("[INFO] server admin listening 127.0.0.1:" + std::to_string(admin_)),
            1u);
  for (const auto& [where, request, expected] : table("admin_requests.txt")) {
    const std::string response = http_request(admin_, unescape(request));
    const std::string status = expected.substr(0, 3), rest = unescape(expected.substr(4));
    EXPECT_TRUE(response.starts_with("HTTP/1.1 " + status + " ")) << where << response;
    EXPECT_NE(response.find("\r\n" + rest.substr(0, rest.find('|'))), std::string::npos) << where;
    EXPECT_EQ(http_body(response), rest.substr(rest.find('|') + 1)) << where << response;
  }
  // Kept alive: the connection answers a second request after the first.
  const std::string two =
      http_request(admin_, "GET /healthz HTTP/1.1\r\nHost: t\r\n\r\nGET /readyz");
  EXPECT_NE(two.find("ok\nHTTP/1.1 200 "), std::string::npos) << two;
  EXPECT_TRUE(two.ends_with("ready\n")) << two;
}

// 500 idle clients and 100 amid their heads, from other loopback addresses;
// the idle limit then ends them.
TEST_P(AdminEndpoints, ProbesAnswerPastHeldConnections) {
  std::vector<Fd> held;
  for (int i = 0; i < 600; ++i)
    held.push_back(tcp_connect(admin_, ("127.0.1." + std::to_string(i / 100 + 2)).c_str()));
  for (const char* probe : {"GET /healthz", "GET /readyz", "GET /metrics", "GET /readyz"}) {
    for (int i = 500; i < 600; ++i) ASSERT_TRUE(send_all(held[i].get(), probe, 1));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(http_request(admin_, probe).starts_with("HTTP/1.1 200 "));
    EXPECT_LT(std::chrono::steady_clock::now() - start, scaled(100ms));
    EXPECT_TRUE(echoes(client_.get(), probe));
  }
  EXPECT_TRUE(wait_closed(held[0].get()));
}

TEST_P(AdminEndpoints, AddressOutsideAllowListIsClosedUnanswered) {
  const Fd outside = tcp_connect(admin_, "127.0.0.2");
  ASSERT_TRUE(send_all(outside.get(), "GET /healthz HTTP/1.1\r\n\r\n", 25));
  EXPECT_EQ(read_to_end(outside.get()), "");
}

TEST_P(AdminEndpoints, OversizedHeadIsRefused) {
  // Filler lines, then one whose value is the rest of the request http_request sends.
  std::string head = "GET /metrics HTTP/1.1\r\n";
  for (int i = 0; i < 5000; ++i) head += "X-Filler-" + std::to_string(i) + ": 0123456789\r\n";
  const auto start = std::chrono::steady_clock::now();
  const std::string response = http_request(admin_, head + "X-Last:");  // empty after a reset
  EXPECT_TRUE(response.empty() || response.starts_with("HTTP/1.1 431 ")) << response;
  EXPECT_LT(std::chrono::steady_clock::now() - start, scaled(1s));  // well before the time-out
  EXPECT_TRUE(http_request(admin_, "GET /metrics").starts_with("HTTP/1.1 200 "));
}

TEST_P(AdminTraffic, CountersAfterKnownTraffic) {
  Expected expected = kCounters;
  expected.insert({{kTcpGauge, 1}, {kUdpGauge, 1}});
  EXPECT_EQ(read_until(expected, admin_), expected);
}

TEST_P(AdminTraffic, GaugesReturnToZeroAfterClientsLeave) {
  client_.reset();
  const Expected expected = {{kTcpGauge, 0}, {kUdpGauge, 0}};
  EXPECT_EQ(read_until(expected, admin_), expected);
}

// Route g behind an admin listener, reloaded by SIGHUP.
class AdminReload : public RelayFixture {
 protected:
  bool start_with(const std::vector<RouteSpec>& routes) {
    return start(routes, 5000, 60000, {}, "127.0.0.1", admin_keys());
  }
  using RelayFixture::reload;
  bool reload(const std::vector<RouteSpec>& routes) {
    return reload(server_ini(routes, 5000, 60000, "127.0.0.1", admin_keys()));
  }
  std::string admin_keys() const { return "admin_port = " + std::to_string(admin_) + "\n"; }
  // How many series of the family the route has.
  size_t series(const std::string& family, const std::string& route) {
    const std::string text = http_body(http_request(admin_, "GET /metrics"));
    const std::string start = "\n" + family + "{route=\"" + route + "\"";
    size_t count = 0;
    for (auto at = text.find(start); at != std::string::npos; at = text.find(start, at + 1)) {
      ++count;
    }
    return count;
  }
  const int admin_ = free_port();
};

const std::string kTcpBytesIn =
    R"(tarnwicket_relayed_bytes_total{route="g",protocol="tcp",direction="client_to_server"})";

// The connection outlives its record; its bytes still count under g, and
// the counter never goes back, before or after the record is reaped.
TEST_P(AdminReload, MovedRouteKeepsCountingItsOpenConnection) {
  ASSERT_TRUE(start_with({tcp_route()}));
  Fd client = tcp_connect(port_);
  ASSERT_TRUE(echoes(client.get(), "before"));
  RouteSpec moved = tcp_route();
  moved.listen_port = free_port();
  ASSERT_TRUE(reload({moved}));
  ASSERT_TRUE(echoes(client.get(), "after"));
  Expected expected = {{kTcpGauge, 1}, {kTcpBytesIn, 11}};
  EXPECT_EQ(read_until(expected, admin_), expected);
  client.reset();
  ASSERT_TRUE(proc().wait_for_lines("route g relay ended", 2));
  ASSERT_TRUE(reload({moved}));  // reaps the old record
  expected = {{kTcpGauge, 0}, {kTcpBytesIn, 11}};
  EXPECT_EQ(read_until(expected, admin_), expected);
}

TEST_P(AdminReload, RoutesSharingANameGiveOneSeries) {
  RouteSpec twin = tcp_route();
  twin.name = " g";  // the same name, in a section of its own
  twin.listen_port = free_port();
  ASSERT_TRUE(start_with({tcp_route(), twin}));
  ASSERT_TRUE(echoes(tcp_connect(port_).get(), "one"));
  ASSERT_TRUE(echoes(tcp_connect(twin.listen_port).get(), "two"));
  EXPECT_EQ(series("tarnwicket_tcp_connections_accepted_total", "g"), 1u);
  const Expected expected = {{R"(tarnwicket_tcp_connections_accepted_total{route="g"})", 2}};
  EXPECT_EQ(read_until(expected, admin_), expected);
}

TEST_P(AdminReload, ReloadOutcomesAreExported) {
  ASSERT_TRUE(start_with({tcp_route()}));
  const std::string ok = "tarnwicket_config_last_reload_successful";
  const std::string failed = R"(tarnwicket_config_reloads_total{result="failure"})";
  const std::string succeeded = R"(tarnwicket_config_reloads_total{result="success"})";
  EXPECT_EQ(scraped(admin_, ok), 1);
  ASSERT_TRUE(reload("[server]\nconnection_timeout_ms = 1\n"));  // invalid
  Expected expected = {{ok, 0}, {failed, 1}, {succeeded, 0}};
  EXPECT_EQ(read_until(expected, admin_), expected);
  ASSERT_TRUE(reload({tcp_route()}));
  expected = {{ok, 1}, {failed, 1}, {succeeded, 1}};
  EXPECT_EQ(read_until(expected, admin_), expected);
}

// Refused for a bad header: counted as refused and nothing else.
TEST_P(AdminReload, RefusedProxiedClientIsNotCountedAsAccepted) {
  RouteSpec proxied = tcp_route();
  proxied.extra = "accept_proxy_protocol = on\ntrusted_proxies = 127.0.0.1\n";
  ASSERT_TRUE(start_with({proxied}));
  Fd client = tcp_connect(port_);
  ASSERT_TRUE(send_all(client.get(), "GET / HTTP/1.0\r\n\r\n", 18));
  ASSERT_TRUE(wait_closed(client.get()));
  const Expected expected = {
      {R"(tarnwicket_tcp_connections_refused_total{route="g",reason="bad_proxy_header"})", 1},
      {R"(tarnwicket_tcp_connections_accepted_total{route="g"})", 0},
      {kTcpGauge, 0}};
  EXPECT_EQ(read_until(expected, admin_), expected);
}

TEST(Admin, StopClosesListenerAndJoinsThreads) {
  const int admin = free_port();
  Gateway gateway(load_server_config(TempDir().write("server.ini", admin_ini(admin))));
  std::thread([] {}).join();  // sanitizer runtimes add a helper thread with the first one
  const size_t threads_before = thread_count(getpid());
  gateway.start();
  // One connection kept alive after a request, one in the middle of one.
  Fd idle = tcp_connect(admin), partial = tcp_connect(admin);
  ASSERT_TRUE(send_all(idle.get(), "GET /healthz HTTP/1.1\r\nHost: t\r\n\r\n", 34));
  ASSERT_TRUE(recv_exact(idle.get(), 1));
  ASSERT_TRUE(send_all(partial.get(), "GET /", 5));
  const auto start = std::chrono::steady_clock::now();
  gateway.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, scaled(1s));  // no wait for the time-out
  EXPECT_EQ(thread_count(getpid()), threads_before);
  EXPECT_TRUE(tcp_listener(admin));  // nothing listens there any more
  for (const Fd* client : {&idle, &partial}) EXPECT_TRUE(wait_closed(client->get()));
}

TEST(Admin, TakenPortFailsStartup) {
  const int admin = free_port();
  const Fd holder = tcp_listener(admin);
  const RunResult r =
      run(server_binary(), {"--config", TempDir().write("s.ini", admin_ini(admin))});
  EXPECT_EQ(std::to_string(r.status) + " " + r.err,
            "1 server startup failed: 管理端口监听失败: 127.0.0.1:" + std::to_string(admin) + "\n");
}

TEST_P(AdminTraffic, PromtoolAcceptsExpositionAndRules) {
  if (!std::filesystem::exists(kPromtool)) GTEST_SKIP() << "promtool is not installed";
  TempDir dir;
  const auto scrape = dir.write("metrics.txt", http_body(http_request(admin_, "GET /metrics")));
  for (const RunResult& checked :
       {run("/bin/sh", {"-c", kPromtool.string() + " check metrics < " + scrape.string()}),
        run(kPromtool, {"check", "rules", source_dir() / "examples/prometheus-rules.yml"})})
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
}

TARNWICKET_ON_BOTH_ENGINES(AdminTraffic);
TARNWICKET_ON_BOTH_ENGINES(AdminReload);
INSTANTIATE_TEST_SUITE_P(Threads, AdminEndpoints, ::testing::Values("threads"), engine_name);

}  // namespace
}  // namespace tarnwicket::test
