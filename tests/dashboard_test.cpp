// The examples an operator imports: every query of the Grafana dashboard and
// every expression of the alert rules, run by a real Prometheus that scrapes a
// real gateway after known traffic, must return data; the alerts fire on
// their promtool cases.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <utility>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

// The dashboard's variables as a query of every node and route over a window
// that holds the set-up's traffic.
const std::vector<std::pair<std::string, std::string>> kVariables = {
    {"$__rate_interval", "1m"}, {"$instance", ".*"}, {"$route", ".*"}};

std::string substituted(std::string text) {
  for (const auto& [name, value] : kVariables) {
    for (auto at = text.find(name); at != std::string::npos; at = text.find(name, at)) {
      text.replace(at, name.size(), value);
      at += value.size();
    }
  }
  return text;
}

// The string values of every "key": "..." of a JSON text, unescaped. (No
// std::regex in the tests: its inlined code trips the sanitizer build's warnings.)
std::vector<std::string> json_strings(const std::string& json, const std::string& key) {
  std::vector<std::string> out;
  const std::string name = "\"" + key + "\"";
  for (size_t at = json.find(name); at != std::string::npos; at = json.find(name, at)) {
    at = json.find_first_not_of(" \n", at + name.size());
    if (json[at] != ':' || json[at = json.find_first_not_of(" \n", at + 1)] != '"') continue;
    std::string value;
    for (++at; at < json.size() && json[at] != '"'; ++at) {
      if (json[at] == '\\' && json[++at] == 'u') {  // Prometheus writes <, > and & so
        value += static_cast<char>(std::stoi(json.substr(at + 1, 4), nullptr, 16));
        at += 4;
      } else {
        value += json[at];
      }
    }
    out.push_back(value);
  }
  return out;
}

// `expr` with each comparison made a `bool` one: an alert's condition then
// gives 0 or 1 for every series instead of filtering them out.
std::string with_bool(const std::string& expr) {
  std::string out;
  int braces = 0;
  bool quoted = false;
  for (size_t i = 0; i < expr.size(); ++i) {
    const char c = expr[i];
    const bool equals_next = i + 1 < expr.size() && expr[i + 1] == '=';
    if (c == '"' && (i == 0 || expr[i - 1] != '\\')) quoted = !quoted;
    if (!quoted) braces += c == '{' ? 1 : c == '}' ? -1 : 0;
    const bool comparison = c == '<' || c == '>' || ((c == '=' || c == '!') && equals_next);
    out += c;
    if (quoted || braces > 0 || !comparison) continue;
    if (equals_next) out += expr[++i];
    out += " bool";
  }
  return out;
}

std::string url_encoded(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return out;
}

// What an instant query, or a label_values(SELECTOR, LABEL) variable, gives.
std::string answer(int port, const std::string& expr) {
  const std::string call = "label_values(";
  if (expr.starts_with(call) && expr.ends_with(')')) {
    const size_t comma = expr.rfind(',');
    const std::string selector = expr.substr(call.size(), comma - call.size());
    const std::string label = expr.substr(expr.find_first_not_of(' ', comma + 1));
    return http_body(http_request(port, "GET /api/v1/label/" + label.substr(0, label.size() - 1) +
                                            "/values?match%5B%5D=" + url_encoded(selector)));
  }
  return http_body(http_request(port, "GET /api/v1/query?query=" + url_encoded(expr)));
}

// Data: at least one value that is a number (a quantile of buckets that did
// not move, or 0 / 0, is NaN) or a label value.
bool has_data(const std::string& answer) {
  if (answer.find("\"data\":[\"") != std::string::npos) return true;
  const std::string value = "\"value\":[";
  for (size_t at = answer.find(value); at != std::string::npos; at = answer.find(value, at + 1)) {
    const size_t start = answer.find(",\"", at) + 2;
    if (answer.compare(start, 4, "NaN\"") != 0) return true;
  }
  return false;
}

// Route g (TCP, at most one connection), u (UDP, at most one association,
// ended after 1 s of silence), q (TCP and UDP, nothing listening upstream),
// scraped every second by Prometheus with the example rules loaded. The
// traffic comes after its first scrape, so that every counter moves within
// the query's window: a closed TCP connection, an open one, a refused one, an
// upstream connect that fails, a UDP association that idles out, a datagram
// dropped at the limit, and a reload.
class Dashboard : public RelayFixture {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kPrometheus)) GTEST_SKIP() << "prometheus is not installed";
    const std::string keys = "admin_port = " + std::to_string(admin_) + "\n";
    const std::vector<RouteSpec> routes = {
        tcp_route(1), udp_route(1), {"q", "both", dead_, "127.0.0.1", free_port()}};
    ASSERT_TRUE(start(routes, 5000, 1000, {}, "127.0.0.1", keys));
    const auto config = dir_.write(
        "prometheus.yml",
        test_data("dashboard-prometheus.yml",
                  {{"@ADMIN@", std::to_string(admin_)},
                   {"@RULES@", (source_dir() / "examples/prometheus-rules.yml").string()}}));
    prometheus_.emplace(kPrometheus, std::vector<std::string>{
                                         "--config.file=" + config.string(),
                                         "--storage.tsdb.path=" + (dir_.path() / "data").string(),
                                         "--web.listen-address=127.0.0.1:" + std::to_string(web_)});
    ASSERT_TRUE(eventually_true([&] { return has_data(answer(web_, "up == 1")); }, 30s))
        << prometheus_->stderr_text();

    Fd closed = tcp_connect(port_);
    ASSERT_TRUE(echoes(closed.get(), "first"));
    closed.reset();
    // Refused at the limit until the first one's slot is free.
    ASSERT_TRUE(eventually_true([&] { return echoes((open_ = tcp_connect(port_)).get(), "x"); }));
    EXPECT_TRUE(wait_closed(tcp_connect(port_).get()));
    EXPECT_TRUE(wait_closed(tcp_connect(dead_).get()));
    const Fd idle = udp_connect(udp_port_), dropped = udp_connect(udp_port_);
    ASSERT_TRUE(echoes(idle.get(), "ping"));
    ASSERT_TRUE(udp_send(dropped.get(), "over the limit"));
    ASSERT_TRUE(reload(server_ini(routes, 5000, 1000, "127.0.0.1", keys)));
  }

  // Each expression that has no data within one deadline for all, with the answer to it.
  std::string without_data(const std::vector<std::string>& exprs) {
    using std::chrono::steady_clock;
    const auto until = steady_clock::now() + scaled(20s);
    std::string missing;
    // Each metric on its own too: a part of an `or` may have none while the other has some.
    std::set<std::string> metrics;
    for (const std::string& expr : exprs) {
      std::string word;
      for (const char c : expr + " ") {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
          word += c;
        } else if (word.starts_with("tarnwicket_") || word.starts_with("process_")) {
          metrics.insert("count(" + std::exchange(word, "") + ")");
        } else {
          word.clear();
        }
      }
    }
    std::vector<std::string> queries = exprs;
    queries.insert(queries.end(), metrics.begin(), metrics.end());
    for (const std::string& expr : queries) {
      const auto left = std::max(until - steady_clock::now(), steady_clock::duration{});
      const std::string last =
          eventually([&] { return answer(web_, expr); }, has_data,
                     std::chrono::duration_cast<std::chrono::milliseconds>(left));
      if (!has_data(last)) missing += expr + "\n  => " + last + "\n";
    }
    return missing;
  }

  const int dead_ = free_port(), admin_ = free_port(), web_ = free_port();
  TempDir dir_;
  std::optional<Process> prometheus_;
  Fd open_;
};

TEST_P(Dashboard, EveryPanelAndVariableQueryReturnsData) {
  const std::string json = read_file(source_dir() / "examples/grafana-dashboard.json");
  std::vector<std::string> exprs;
  for (const std::string& expr : json_strings(json, "expr")) exprs.push_back(substituted(expr));
  for (const std::string& query : json_strings(json, "query")) {
    if (query.starts_with("label_values(")) exprs.push_back(substituted(query));
  }
  ASSERT_GT(exprs.size(), 20u);
  EXPECT_EQ(without_data(exprs), "");
}

// The rules as Prometheus loaded them from the file, each condition made a bool.
TEST_P(Dashboard, EveryAlertExpressionReturnsData) {
  const std::string rules = eventually(
      [&] { return http_body(http_request(web_, "GET /api/v1/rules")); },
      [](const std::string& a) { return a.find("\"health\":\"unknown\"") == std::string::npos; });
  EXPECT_EQ(rules.find("\"health\":\"err\""), std::string::npos) << rules;
  std::vector<std::string> exprs;
  for (const std::string& expr : json_strings(rules, "query")) exprs.push_back(with_bool(expr));
  ASSERT_GT(exprs.size(), 5u);
  EXPECT_EQ(without_data(exprs), "");
}

TEST(AlertRules, FireOnlyOnTheirCases) {
  if (!std::filesystem::exists(kPromtool)) GTEST_SKIP() << "promtool is not installed";
  const RunResult r =
      run(kPromtool, {"test", "rules", source_dir() / "tests/data/prometheus-rules.test.yml"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TARNWICKET_ON_BOTH_ENGINES(Dashboard);

}  // namespace
}  // namespace tarnwicket::test
