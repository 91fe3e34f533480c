// The admin listener: the HTTP endpoints and their limits, counters after known
// traffic, the stop, and scrapes by a real Prometheus server. Its configuration
// rules are in the server configuration's table.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "config/server_config.h"
#include "gateway/gateway.h"
#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

std::string admin_ini(int admin_port, std::vector<RouteSpec> routes = {}, int idle_ms = 60000) {
  if (routes.empty()) routes.push_back({"g", "tcp", free_port(), "127.0.0.1", 9});
  std::string ini = server_ini(routes, 5000, idle_ms);
  return ini.insert(ini.find('\n') + 1, "admin_port = " + std::to_string(admin_port) + "\n");
}

// Sends raw requests and reads every answer, up to the server's close.
std::string http(int port, const std::string& requests) {
  Fd fd = tcp_connect(port);
  if (!fd || !send_all(fd.get(), requests.data(), requests.size())) return "";
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0;)
    out.append(buffer, static_cast<size_t>(n));
  return out;
}

// `what` is a method and a target: "GET /metrics".
std::string ask(int port, const std::string& what) {
  return http(port, what + " HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
}

std::string body(const std::string& response) {
  const auto end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}

// Series and values; parsed from "series value" lines, as in an exposition.
using Expected = std::map<std::string, double>;
Expected parse(const std::string& lines) {
  Expected out;
  std::istringstream in(lines);
  for (std::string series; in >> series;) in >> out[series];
  return out;
}

// A series' value in a scrape of the admin listener; -1 when it is missing.
double scraped(int admin_port, const std::string& series) {
  const std::string text = body(ask(admin_port, "GET /metrics"));
  const auto at = text.find("\n" + series + " ");
  return at == std::string::npos ? -1 : std::stod(text.substr(at + series.size() + 2));
}

// Reads until the series hold the expected values: counters are added right
// after a send, so a client may see its bytes a moment before they count.
Expected read_until(const Expected& expected, double (*read)(int, const std::string&), int port,
                    std::chrono::milliseconds deadline = 10s) {
  auto read_all = [&] {
    Expected got;
    for (const auto& [series, value] : expected) got[series] = read(port, series);
    return got;
  };
  return eventually(
      read_all, [&](const Expected& got) { return got == expected; }, deadline);
}

// A server with the admin listener and one TCP route that nothing uses.
class AdminEndpoints : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.started()); }
  const int admin_ = free_port();
  RunningServer server_{admin_ini(admin_)};
};

TEST_F(AdminEndpoints, AnswersByMethodAndPath) {
  EXPECT_EQ(server_.process().count_lines("[INFO] server admin listening 127.0.0.1:" +
                                          std::to_string(admin_)),
            1u);
  const std::string text = "\r\nContent-Type: text/plain; charset=utf-8\r\n";
  const std::string exposition = "\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n";
  const std::string refused = "\r\nAllow: GET, HEAD\r\n";
  const struct {
    std::string request, status, header, body;
  } cases[] = {
      {"GET /healthz", "200", text, "ok\n"},
      {"GET /readyz", "200", text, "ready\n"},
      {"HEAD /metrics", "200", exposition, ""},
      {"GET /nope", "404", "\r\nContent-Length: 0\r\n", ""},
      {"POST /metrics", "405", refused, "method not allowed\n"},
      {"DELETE /nope", "405", refused, "method not allowed\n"},
  };
  for (const auto& c : cases) {
    const std::string response = ask(admin_, c.request);
    EXPECT_TRUE(response.starts_with("HTTP/1.1 " + c.status + " ")) << response;
    EXPECT_NE(response.find(c.header), std::string::npos) << response;
    EXPECT_EQ(body(response), c.body) << response;
  }
  // Kept alive: the connection answers a second request after the first.
  const std::string two = ask(admin_, "GET /healthz HTTP/1.1\r\nHost: t\r\n\r\nGET /readyz");
  EXPECT_TRUE(two.find("ok\nHTTP/1.1 200 ") != std::string::npos && two.ends_with("ready\n"));
}

TEST_F(AdminEndpoints, SlowClientDoesNotBlockScrape) {
  Fd slow = tcp_connect(admin_);
  ASSERT_TRUE(send_all(slow.get(), "GET /metrics HTTP/1.1\r\nHo", 25));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(ask(admin_, "GET /metrics").starts_with("HTTP/1.1 200 "));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(wait_closed(slow.get()));  // the time-out ends it
}

TEST_F(AdminEndpoints, OversizedHeadIsRefused) {
  std::string head = "GET /metrics HTTP/1.1\r\nHost: t\r\n";
  for (int i = 0; i < 5000; ++i) head += "X-Filler-" + std::to_string(i) + ": 0123456789\r\n";
  const auto start = std::chrono::steady_clock::now();
  const std::string response = http(admin_, head + "\r\n");  // empty after a reset
  EXPECT_TRUE(response.empty() || response.starts_with("HTTP/1.1 431 ")) << response;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);  // well before the time-out
  EXPECT_TRUE(ask(admin_, "GET /metrics").starts_with("HTTP/1.1 200 "));
}

// Routes t (TCP, at most one connection), u (UDP, whose associations end after
// 2 s of upstream silence) and q"\x (TCP and UDP, nothing listening upstream),
// with traffic of known size; the TCP and UDP clients stay open.
class AdminTraffic : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    ASSERT_TRUE(echoes(client_.get(), "hello"));
    EXPECT_TRUE(wait_closed(tcp_connect(tcp_).get()));   // over the limit of 1
    EXPECT_TRUE(wait_closed(tcp_connect(dead_).get()));  // nothing listens upstream
    for (const char* datagram : {"ping", "pong!"}) {
      ASSERT_TRUE(udp_send(udp_client_.get(), datagram));
      EXPECT_EQ(udp_recv(udp_client_.get()), datagram);
    }
  }
  TcpUpstream tcp_upstream_;
  UdpEcho udp_upstream_;
  const int tcp_ = free_port(), udp_ = free_port(), dead_ = free_port(), admin_ = free_port();
  RunningServer server_{admin_ini(admin_,
                                  {{"t", "tcp", tcp_, "127.0.0.1", tcp_upstream_.port(), 1},
                                   {"u", "udp", udp_, "127.0.0.1", udp_upstream_.port()},
                                   {"q\"\\x", "both", dead_, "127.0.0.1", free_port()}},
                                  2000)};
  Fd client_ = tcp_connect(tcp_), udp_client_ = udp_connect(udp_);
};

const Expected kCounters = parse(R"(
    tarnwicket_tcp_connections_accepted_total{route="t"} 1
    tarnwicket_tcp_connections_accepted_total{route="q\"\\x"} 1
    tarnwicket_tcp_connections_refused_total{route="t",reason="limit"} 1
    tarnwicket_tcp_connections_refused_total{route="t",reason="allow_list"} 0
    tarnwicket_upstream_connect_failures_total{route="q\"\\x",protocol="tcp"} 1
    tarnwicket_upstream_connect_failures_total{route="t",protocol="tcp"} 0
    tarnwicket_relayed_bytes_total{route="t",protocol="tcp",direction="client_to_server"} 5
    tarnwicket_relayed_bytes_total{route="t",protocol="tcp",direction="server_to_client"} 5
    tarnwicket_relayed_bytes_total{route="u",protocol="udp",direction="client_to_server"} 9
    tarnwicket_relayed_bytes_total{route="u",protocol="udp",direction="server_to_client"} 9
    tarnwicket_udp_associations_created_total{route="u"} 1
    tarnwicket_udp_datagrams_total{route="u",direction="client_to_server"} 2
    tarnwicket_udp_datagrams_total{route="u",direction="server_to_client"} 2
    tarnwicket_udp_datagrams_dropped_total{route="u",reason="limit"} 0
    tarnwicket_build_info{version=")" TARNWICKET_VERSION R"("} 1)");
const std::string kTcpGauge = R"(tarnwicket_tcp_connections{route="t"})";
const std::string kUdpGauge = R"(tarnwicket_udp_associations{route="u"})";

TEST_F(AdminTraffic, CountersAfterKnownTraffic) {
  Expected expected = kCounters;
  expected.insert({{kTcpGauge, 1}, {kUdpGauge, 1}});
  EXPECT_EQ(read_until(expected, scraped, admin_), expected);
}

TEST_F(AdminTraffic, GaugesReturnToZeroAfterClientsLeave) {
  client_.reset();
  const Expected expected = {{kTcpGauge, 0}, {kUdpGauge, 0}};
  EXPECT_EQ(read_until(expected, scraped, admin_), expected);
}

TEST(Admin, StopClosesListenerAndJoinsThreads) {
  TempDir dir;
  const int admin = free_port();
  Gateway gateway(load_server_config(dir.write("server.ini", admin_ini(admin))));
  std::thread([] {}).join();  // sanitizer runtimes add a helper thread with the first one
  const size_t threads_before = thread_count(getpid());
  gateway.start();
  // One connection kept alive after a request, one in the middle of one.
  Fd idle = tcp_connect(admin);
  ASSERT_TRUE(send_all(idle.get(), "GET /healthz HTTP/1.1\r\nHost: t\r\n\r\n", 34));
  ASSERT_TRUE(recv_exact(idle.get(), 1));
  Fd partial = tcp_connect(admin);
  ASSERT_TRUE(send_all(partial.get(), "GET /", 5));
  EXPECT_GT(thread_count(getpid()), threads_before);
  const auto start = std::chrono::steady_clock::now();
  gateway.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);  // no wait for the time-out
  EXPECT_EQ(thread_count(getpid()), threads_before);
  EXPECT_TRUE(tcp_listener(admin));  // nothing listens there any more
  EXPECT_TRUE(wait_closed(idle.get()));
  EXPECT_TRUE(wait_closed(partial.get()));
}

TEST(Admin, TakenPortFailsStartup) {
  const int admin = free_port();
  Fd holder = tcp_listener(admin);
  ASSERT_TRUE(holder);
  TempDir dir;
  RunResult r =
      run(server_binary(), {"--config", dir.write("server.ini", admin_ini(admin)).string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "server startup failed: 管理端口监听失败: 127.0.0.1:" + std::to_string(admin) + "\n");
  EXPECT_NE(r.out.find("[INFO] server stopped\n"), std::string::npos);
  EXPECT_EQ(r.out.find("server started"), std::string::npos);
}

const std::filesystem::path kPromtool = "/usr/bin/promtool";
const std::filesystem::path kPrometheus = "/usr/bin/prometheus";
const std::filesystem::path kRules = source_dir() / "examples/prometheus-rules.yml";

TEST_F(AdminTraffic, PromtoolAcceptsExpositionAndRules) {
  if (!std::filesystem::exists(kPromtool)) GTEST_SKIP() << "promtool is not installed";
  TempDir dir;
  const auto scrape = dir.write("metrics.txt", body(ask(admin_, "GET /metrics")));
  const RunResult metrics =
      run("/bin/sh", {"-c", kPromtool.string() + " check metrics < " + scrape.string()});
  EXPECT_EQ(metrics.status, 0) << metrics.out << metrics.err;
  const RunResult rules = run(kPromtool, {"check", "rules", kRules.string()});
  EXPECT_EQ(rules.status, 0) << rules.out << rules.err;
}

// The value of an instant query's first sample, from Prometheus's query API; -1 when none.
double queried(int port, const std::string& expr) {
  std::string target = "GET /api/v1/query?query=";
  for (unsigned char c : expr) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    target += hex;
  }
  const std::string answer = body(ask(port, target));
  const auto at = answer.find("\"value\":[");
  if (at == std::string::npos) return -1;
  return std::stod(answer.substr(answer.find('"', answer.find(',', at)) + 1));
}

TEST_F(AdminTraffic, PrometheusScrapesCounters) {
  if (!std::filesystem::exists(kPrometheus)) GTEST_SKIP() << "prometheus is not installed";
  const int web = free_port();
  TempDir dir;
  const auto config = dir.write(
      "prometheus.yml", "global: {scrape_interval: 1s, evaluation_interval: 1s}\nrule_files: [" +
                            kRules.string() + "]\nscrape_configs: [{job_name: tarnwicket, " +
                            "static_configs: [{targets: ['127.0.0.1:" + std::to_string(admin_) +
                            "']}]}]\n");
  Process prometheus(kPrometheus, {"--config.file=" + config.string(),
                                   "--storage.tsdb.path=" + (dir.path() / "data").string(),
                                   "--web.listen-address=127.0.0.1:" + std::to_string(web)});
  EXPECT_EQ(read_until(kCounters, queried, web, 60s), kCounters) << prometheus.stderr_text();
}

}  // namespace
}  // namespace tarnwicket::test
