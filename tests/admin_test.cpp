// The admin listener: configuration rules, the HTTP endpoints, counters after
// known traffic, and scrapes by a real Prometheus server.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <thread>

#include "config/server_config.h"
#include "gateway/gateway.h"
#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

std::string admin_ini(const std::vector<RouteSpec>& routes, int admin_port, int idle_ms = 60000) {
  std::string ini = server_ini(routes, 5000, idle_ms);
  return ini.insert(ini.find('\n') + 1, "admin_port = " + std::to_string(admin_port) + "\n");
}

// Sends one raw request and reads the whole answer (the server closes after it).
std::string http(int port, const std::string& request) {
  Fd fd = tcp_connect(port);
  if (!fd || !send_all(fd.get(), request.data(), request.size())) return "";
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0;) {
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

std::string get(int port, const std::string& path, const std::string& method = "GET") {
  return http(port, method + " " + path + " HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
}

std::string body(const std::string& response) {
  const auto end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}

// The values of the given series in an exposition; -1 for a missing one.
std::map<std::string, double> values(const std::string& text,
                                     const std::vector<std::string>& series) {
  std::map<std::string, double> out;
  for (const std::string& s : series) {
    const auto at = text.find("\n" + s + " ");
    out[s] = at == std::string::npos ? -1 : std::stod(text.substr(at + s.size() + 2));
  }
  return out;
}

using Expected = std::map<std::string, double>;

// Scrapes until the series hold the expected values (counters are added right
// after a send, so a client may see its bytes a moment before they count).
Expected scrape_until(int admin_port, const Expected& expected) {
  std::vector<std::string> series;
  for (const auto& [name, value] : expected) series.push_back(name);
  return eventually([&] { return values(body(get(admin_port, "/metrics")), series); },
                    [&](const Expected& got) { return got == expected; });
}

TEST(AdminConfig, RulesAndMessages) {
  const std::string route = "[route:a]\nlisten_port = 7000\ntarget_host = h\ntarget_port = 9\n";
  const std::string range = "server.admin_port 必须在 0 到 65535 之间";
  const std::string clash = "server.admin_port 与线路监听端口重复: 7000";
  const std::string address = "server.admin_address 必须是 IPv4 地址";
  const std::pair<std::string, std::string> cases[] = {
      {"[server]\nadmin_port = -1\n", "至少需要一条启用的线路"},  // the older rules come first
      {"[server]\nadmin_port = -1\n", range},
      {"[server]\nadmin_port = 65536\n", range},
      {"[server]\nadmin_port = 65535\nadmin_address = 0.0.0.0\n", ""},
      {"[server]\nadmin_port = 7000\n", clash},
      {"[server]\nadmin_port = 7000\n" + route + "protocol = both\n", clash},
      {"[server]\nadmin_port = 7000\n" + route + "protocol = udp\n", ""},
      {"[server]\nadmin_port = 7000\n" + route +
           "enabled = no\n[route:b]\nlisten_port = 1\n"
           "target_host = h\ntarget_port = 9\n",
       ""},
      {"[server]\nadmin_port = x7000\n", ""},  // unreadable: stays off
      {"[server]\nadmin_address = localhost\n", address},
      {"[server]\nadmin_address = ::1\n", address},
      {"[server]\nadmin_address =\n", address},
  };
  TempDir dir;
  bool first = true;  // every case but the first gets a valid route at its end
  for (const auto& [content, message] : cases) {
    std::string got;
    try {
      load_server_config(dir.write("server.ini", first ? content : content + route));
    } catch (const std::runtime_error& e) {
      got = e.what();
    }
    EXPECT_EQ(got, message) << content;
    first = false;
  }
}

TEST(Admin, EndpointsAndStatusCodes) {
  const int admin = free_port();
  RunningServer server(admin_ini({{"g", "tcp", free_port(), "127.0.0.1", 9}}, admin));
  ASSERT_TRUE(server.started());
  EXPECT_EQ(server.process().count_lines("[INFO] server admin listening 127.0.0.1:" +
                                         std::to_string(admin)),
            1u);
  EXPECT_EQ(get(admin, "/healthz"), get(admin, "/healthz"));  // keeps serving
  const std::pair<std::string, std::string> cases[] = {
      {get(admin, "/healthz"), "HTTP/1.1 200 "},
      {get(admin, "/readyz"), "HTTP/1.1 200 "},
      {get(admin, "/metrics", "HEAD"), "HTTP/1.1 200 "},
      {get(admin, "/nope"), "HTTP/1.1 404 "},
      {get(admin, "/metrics", "POST"), "HTTP/1.1 405 "},
      {get(admin, "/metrics", "DELETE"), "HTTP/1.1 405 "},
  };
  for (const auto& [response, status] : cases)
    EXPECT_TRUE(response.starts_with(status)) << response;
  EXPECT_EQ(body(get(admin, "/healthz")), "ok\n");
  EXPECT_EQ(body(get(admin, "/readyz")), "ready\n");
  EXPECT_EQ(body(get(admin, "/metrics", "HEAD")), "");
  EXPECT_NE(
      get(admin, "/metrics").find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
      std::string::npos);
}

TEST(Admin, CountersAfterKnownTraffic) {
  TcpUpstream tcp_upstream;
  UdpEcho udp_upstream;
  const int tcp = free_port(), udp = free_port(), dead = free_port(), admin = free_port();
  RunningServer server(admin_ini({{"t", "tcp", tcp, "127.0.0.1", tcp_upstream.port(), 1},
                                  {"u", "udp", udp, "127.0.0.1", udp_upstream.port()},
                                  {"x", "tcp", dead, "127.0.0.1", free_port()}},
                                 admin));
  ASSERT_TRUE(server.started());
  {
    Fd client = tcp_connect(tcp);
    ASSERT_TRUE(echoes(client.get(), "hello"));
    EXPECT_TRUE(wait_closed(tcp_connect(tcp).get()));  // over the limit of 1
  }
  EXPECT_TRUE(wait_closed(tcp_connect(dead).get()));  // nothing listens upstream
  Fd u = udp_connect(udp);
  for (const char* datagram : {"ping", "pong!"}) {
    ASSERT_TRUE(udp_send(u.get(), datagram));
    EXPECT_EQ(udp_recv(u.get()), datagram);
  }
  const Expected expected = {
      {R"(tarnwicket_tcp_connections{route="t"})", 0},
      {R"(tarnwicket_tcp_connections_accepted_total{route="t"})", 1},
      {R"(tarnwicket_tcp_connections_accepted_total{route="x"})", 1},
      {R"(tarnwicket_tcp_connections_refused_total{route="t",reason="limit"})", 1},
      {R"(tarnwicket_tcp_connections_refused_total{route="t",reason="allow_list"})", 0},
      {R"(tarnwicket_upstream_connect_failures_total{route="x",protocol="tcp"})", 1},
      {R"(tarnwicket_upstream_connect_failures_total{route="t",protocol="tcp"})", 0},
      {R"(tarnwicket_relayed_bytes_total{route="t",protocol="tcp",direction="client_to_server"})",
       5},
      {R"(tarnwicket_relayed_bytes_total{route="t",protocol="tcp",direction="server_to_client"})",
       5},
      {R"(tarnwicket_relayed_bytes_total{route="u",protocol="udp",direction="client_to_server"})",
       9},
      {R"(tarnwicket_relayed_bytes_total{route="u",protocol="udp",direction="server_to_client"})",
       9},
      {R"(tarnwicket_udp_associations{route="u"})", 1},
      {R"(tarnwicket_udp_associations_created_total{route="u"})", 1},
      {R"(tarnwicket_udp_datagrams_total{route="u",direction="client_to_server"})", 2},
      {R"(tarnwicket_udp_datagrams_total{route="u",direction="server_to_client"})", 2},
      {R"(tarnwicket_udp_datagrams_dropped_total{route="u",reason="limit"})", 0},
      {R"(tarnwicket_build_info{version=")" TARNWICKET_VERSION R"("})", 1},
  };
  EXPECT_EQ(scrape_until(admin, expected), expected);
}

TEST(Admin, GaugesReturnToZeroAfterClientsLeave) {
  TcpUpstream tcp_upstream;
  UdpEcho udp_upstream;
  const int tcp = free_port(), udp = free_port(), admin = free_port();
  RunningServer server(admin_ini({{"t", "tcp", tcp, "127.0.0.1", tcp_upstream.port()},
                                  {"u", "udp", udp, "127.0.0.1", udp_upstream.port()}},
                                 admin, 1000));
  ASSERT_TRUE(server.started());
  const std::string tcp_gauge = R"(tarnwicket_tcp_connections{route="t"})";
  const std::string udp_gauge = R"(tarnwicket_udp_associations{route="u"})";
  {
    Fd client = tcp_connect(tcp);
    ASSERT_TRUE(echoes(client.get(), "x"));
    Fd u = udp_connect(udp);
    ASSERT_TRUE(udp_send(u.get(), "y"));
    EXPECT_EQ(scrape_until(admin, {{tcp_gauge, 1}, {udp_gauge, 1}}),
              (Expected{{tcp_gauge, 1}, {udp_gauge, 1}}));
  }
  // The association ends after udp_idle_timeout_ms of upstream silence.
  EXPECT_EQ(scrape_until(admin, {{tcp_gauge, 0}, {udp_gauge, 0}}),
            (Expected{{tcp_gauge, 0}, {udp_gauge, 0}}));
}

TEST(Admin, SlowClientDoesNotBlockScrape) {
  const int admin = free_port();
  RunningServer server(admin_ini({{"g", "tcp", free_port(), "127.0.0.1", 9}}, admin));
  ASSERT_TRUE(server.started());
  Fd slow = tcp_connect(admin);
  const std::string half = "GET /metrics HTTP/1.1\r\nHo";
  ASSERT_TRUE(send_all(slow.get(), half.data(), half.size()));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(get(admin, "/metrics").starts_with("HTTP/1.1 200 "));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(wait_closed(slow.get()));  // the read time-out ends it
}

TEST(Admin, StopClosesListenerAndJoinsThreads) {
  ServerConfig config;
  config.listen_address = "127.0.0.1";
  ServerRoute route;
  route.name = "g";
  route.listen_port = free_port();
  route.target_host = "127.0.0.1";
  route.target_port = 9;
  config.routes.push_back(route);
  config.admin_port = free_port();
  Gateway gateway(config);
  std::thread([] {}).join();  // sanitizer runtimes add a helper thread with the first one
  const size_t threads_before = thread_count(getpid());
  gateway.start();
  // One connection kept alive after a request, one in the middle of one.
  Fd idle = tcp_connect(config.admin_port);
  const std::string request = "GET /healthz HTTP/1.1\r\nHost: t\r\n\r\n";
  ASSERT_TRUE(send_all(idle.get(), request.data(), request.size()));
  ASSERT_TRUE(recv_exact(idle.get(), 1));
  Fd partial = tcp_connect(config.admin_port);
  ASSERT_TRUE(send_all(partial.get(), "GET /", 5));
  EXPECT_GT(thread_count(getpid()), threads_before);
  const auto start = std::chrono::steady_clock::now();
  gateway.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);  // the time-outs bound the wait
  EXPECT_EQ(thread_count(getpid()), threads_before);
  EXPECT_TRUE(tcp_listener(config.admin_port));  // nothing listens there any more
  EXPECT_TRUE(wait_closed(idle.get()));
  EXPECT_TRUE(wait_closed(partial.get()));
}

TEST(Admin, TakenPortFailsStartup) {
  const int admin = free_port();
  Fd holder = tcp_listener(admin);
  ASSERT_TRUE(holder);
  TempDir dir;
  const auto path =
      dir.write("server.ini", admin_ini({{"g", "tcp", free_port(), "127.0.0.1", 9}}, admin));
  RunResult r = run(server_binary(), {"--config", path.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "server startup failed: 管理端口监听失败: 127.0.0.1:" + std::to_string(admin) + "\n");
  EXPECT_NE(r.out.find("[INFO] server stopped\n"), std::string::npos);
  EXPECT_EQ(r.out.find("server started"), std::string::npos);
}

const std::filesystem::path kPromtool = "/usr/bin/promtool";
const std::filesystem::path kPrometheus = "/usr/bin/prometheus";

TEST(AdminPrometheus, PromtoolAcceptsExpositionAndRules) {
  if (!std::filesystem::exists(kPromtool)) GTEST_SKIP() << "promtool is not installed";
  const int admin = free_port();
  RunningServer server(admin_ini({{"q\"\\x", "both", free_port(), "127.0.0.1", 9}}, admin));
  ASSERT_TRUE(server.started());
  TempDir dir;
  const auto scraped = dir.write("metrics.txt", body(get(admin, "/metrics")));
  const RunResult metrics =
      run("/bin/sh", {"-c", kPromtool.string() + " check metrics < " + scraped.string()});
  EXPECT_EQ(metrics.status, 0) << metrics.out << metrics.err;
  const RunResult rules =
      run(kPromtool, {"check", "rules", (source_dir() / "examples/prometheus-rules.yml").string()});
  EXPECT_EQ(rules.status, 0) << rules.out << rules.err;
}

std::string url_encode(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    out += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(hex);
  }
  return out;
}

// The value of an instant query's first sample, as Prometheus's query API gives it.
std::string query(int port, const std::string& expr) {
  const std::string answer = body(get(port, "/api/v1/query?query=" + url_encode(expr)));
  const auto at = answer.find("\"value\":[");
  if (at == std::string::npos) return "";
  const auto open = answer.find('"', answer.find(',', at));
  return answer.substr(open + 1, answer.find('"', open + 1) - open - 1);
}

TEST(AdminPrometheus, PrometheusScrapesCounters) {
  if (!std::filesystem::exists(kPrometheus)) GTEST_SKIP() << "prometheus is not installed";
  TcpUpstream tcp_upstream;
  UdpEcho udp_upstream;
  const int tcp = free_port(), udp = free_port(), admin = free_port(), web = free_port();
  RunningServer server(admin_ini({{"t", "tcp", tcp, "127.0.0.1", tcp_upstream.port()},
                                  {"u", "udp", udp, "127.0.0.1", udp_upstream.port()}},
                                 admin));
  ASSERT_TRUE(server.started());
  TempDir dir;
  const auto config =
      dir.write("prometheus.yml",
                "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\nrule_files:\n  - " +
                    (source_dir() / "examples/prometheus-rules.yml").string() +
                    "\nscrape_configs:\n  - job_name: tarnwicket\n    static_configs:\n"
                    "      - targets: ['127.0.0.1:" +
                    std::to_string(admin) + "']\n");
  Process prometheus(kPrometheus, {"--config.file=" + config.string(),
                                   "--storage.tsdb.path=" + (dir.path() / "data").string(),
                                   "--web.listen-address=127.0.0.1:" + std::to_string(web)});
  Fd client = tcp_connect(tcp);
  ASSERT_TRUE(echoes(client.get(), "abc"));
  const std::string more = "defgh";
  ASSERT_TRUE(send_all(client.get(), more.data(), more.size()));
  ASSERT_EQ(recv_exact(client.get(), more.size()), more);
  Fd u = udp_connect(udp);
  ASSERT_TRUE(udp_send(u.get(), "ping"));
  ASSERT_EQ(udp_recv(u.get()), "ping");
  const std::map<std::string, std::string> expected = {
      {R"(tarnwicket_tcp_connections_accepted_total{route="t"})", "1"},
      {R"(tarnwicket_relayed_bytes_total{route="t",protocol="tcp",direction="client_to_server"})",
       "8"},
      {R"(tarnwicket_relayed_bytes_total{route="t",protocol="tcp",direction="server_to_client"})",
       "8"},
      {R"(tarnwicket_udp_associations{route="u"})", "1"},
  };
  auto read_all = [&] {
    std::map<std::string, std::string> got;
    for (const auto& [expr, value] : expected) got[expr] = query(web, expr);
    return got;
  };
  EXPECT_EQ(eventually(
                read_all, [&](const auto& got) { return got == expected; }, 60s),
            expected)
      << prometheus.stderr_text();
}

}  // namespace
}  // namespace tarnwicket::test
