#include "config/server_config.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/process.h"

namespace tarnwicket {
namespace {

// A valid enabled TCP route; `extra` lines override its keys (the last value wins).
std::string route(const std::string& name, const std::string& extra = "") {
  return "[route:" + name + "]\nlisten_port = 7000\ntarget_host = h\ntarget_port = 9000\n" + extra;
}

std::string describe(const ServerRoute& r) {
  return r.name + "|" + r.protocol + "|" + std::to_string(r.listen_port) + "|" + r.target_host +
         "|" + std::to_string(r.target_port) + "|" + std::to_string(r.max_connections) + "|" +
         (r.enabled ? "on" : "off");
}

TEST(ServerConfig, ReadsRoutesInSectionByteOrder) {
  test::TempDir dir;
  // Unreadable numbers and booleans keep their defaults; "[Route:z]" is no route section;
  // the disabled route is kept, unchecked.
  const ServerConfig config = load_server_config(dir.write(
      "s.ini", "[server]\nconnection_timeout_ms = abc\nudp_idle_timeout_ms = 1000\n" +
                   route("b", "protocol = \tBoth\nmax_connections =\nenabled = maybe\n") +
                   "[Route:z]\nlisten_port = 1\n" +
                   route("B", "protocol = UDP\nlisten_port = 7001\nmax_connections = 100000\n") +
                   "[route:  ]\nprotocol = bogus\nenabled = OFF\n"));
  EXPECT_EQ(config.listen_address, "0.0.0.0");
  EXPECT_EQ(config.connection_timeout_ms, 5000);
  EXPECT_EQ(config.udp_idle_timeout_ms, 1000);
  std::vector<std::string> routes;
  for (const ServerRoute& r : config.routes) routes.push_back(describe(r));
  EXPECT_EQ(routes, (std::vector<std::string>{"|bogus|0||0|4096|off", "B|udp|7001|h|9000|100000|on",
                                              "b|both|7000|h|9000|4096|on"}));
}

TEST(ServerConfig, RulesInOrderFirstFailureWins) {
  const std::string ports = "线路 a 的端口必须在 1 到 65535 之间";
  const std::string protocol = "线路 a 的 protocol 必须是 tcp、udp 或 both";
  const std::string timeout = "server.connection_timeout_ms 必须在 100 到 300000 之间";
  const std::string idle = "server.udp_idle_timeout_ms 必须在 1000 到 3600000 之间";
  const std::string none = "至少需要一条启用的线路";
  const std::string max = "线路 a 的 max_connections 超出范围";
  const std::string drain = "server.drain_timeout_ms 必须在 0 到 3600000 之间";
  const std::pair<std::string, std::string> cases[] = {
      {"", none},
      {route("a", "enabled = off\n"), none},
      {"[server]\nconnection_timeout_ms = 100\nudp_idle_timeout_ms = 3600000\n" + route("a"), ""},
      {"[server]\nconnection_timeout_ms = 300000\nudp_idle_timeout_ms = 1000\n" + route("a"), ""},
      {"[server]\nconnection_timeout_ms = 99\n" + route("a"), timeout},
      {"[server]\nconnection_timeout_ms = 300001\n" + route("a"), timeout},
      {"[server]\nudp_idle_timeout_ms = 999\n" + route("a"), idle},
      {"[server]\nudp_idle_timeout_ms = 3600001\n" + route("a"), idle},
      {"[server]\nlisten_address =\nconnection_timeout_ms = 0\n" + route(""),
       "server.listen_address 不能为空"},
      {route("", "protocol = x\n"), "启用的线路 name 不能为空"},
      {route("a", "protocol = tcp,udp\nlisten_port = 0\n"), protocol},
      {route("a", "listen_port = 65535\ntarget_port = 1\nmax_connections = 1\n"), ""},
      {route("a", "listen_port =\n"), ports},
      {route("a", "target_port = 65536\ntarget_host =\nmax_connections = 0\n"), ports},
      {route("a", "target_host =\nmax_connections = 0\n"), "线路 a 的 target_host 不能为空"},
      {route("a", "max_connections = 100001\n"), max},
      {route("a", "max_connections = 0\n") + route("b", "protocol = x\n"), max},
      // Listeners are claimed per (protocol, port); disabled routes claim nothing.
      {route("a") + route("b"), "tcp 监听端口重复: 7000"},
      {route("a") + route("b", "protocol = udp\n") + route("c", "enabled = no\n"), ""},
      {route("a", "protocol = both\n") + route("b", "protocol = udp\n"), "udp 监听端口重复: 7000"},
      {route("a") + route("b", "protocol = both\n"), "tcp 监听端口重复: 7000"},
      {route("a") + "[server\n", "配置第 5 行缺少 '='"},
      {"[server]\ndrain_timeout_ms = 0\n" + route("a"), ""},
      {"[server]\ndrain_timeout_ms = 3600000\n" + route("a"), ""},
      {"[server]\ndrain_timeout_ms = -1\n" + route("a"), drain},
      {"[server]\ndrain_timeout_ms = 3600001\nadmin_port = -1\n" + route("a"),
       "server.admin_port 必须在 0 到 65535 之间"},
  };
  test::TempDir dir;
  for (const auto& [content, message] : cases) {
    std::string got;
    try {
      load_server_config(dir.write("server.ini", content));
    } catch (const std::runtime_error& e) {
      got = e.what();
    }
    EXPECT_EQ(got, message) << content;
  }
}

}  // namespace
}  // namespace tarnwicket
