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

class ServerConfigFile : public testing::Test {
 protected:
  ServerConfig load(const std::string& content) {
    return load_server_config(dir_.write("server.ini", content));
  }
  static std::string error_at(const std::filesystem::path& path) {
    try {
      load_server_config(path);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }

  test::TempDir dir_;
};

TEST_F(ServerConfigFile, DefaultsAndConversions) {
  ServerConfig config = load(route("r"));
  EXPECT_EQ(config.listen_address, "0.0.0.0");
  EXPECT_EQ(config.connection_timeout_ms, 5000);
  EXPECT_EQ(config.udp_idle_timeout_ms, 60000);
  ASSERT_EQ(config.routes.size(), 1u);
  EXPECT_EQ(config.routes[0].protocol, "tcp");
  EXPECT_EQ(config.routes[0].max_connections, 4096);
  EXPECT_TRUE(config.routes[0].enabled);

  // Unreadable numbers and booleans keep their defaults instead of failing.
  config = load(
      "[server]\nlisten_address = 127.0.0.1\nconnection_timeout_ms = abc\n"
      "udp_idle_timeout_ms = 1000\n"
      "[route:eu1]\nprotocol = Both\nlisten_port = 7000\ntarget_host = 10.0.0.5\n"
      "target_port = 7100\nmax_connections =\nenabled = maybe\n" +
      route("x", "protocol = \tUDP\nlisten_port = 7001\nmax_connections = 100000\nenabled =\n"));
  EXPECT_EQ(config.listen_address, "127.0.0.1");
  EXPECT_EQ(config.connection_timeout_ms, 5000);
  EXPECT_EQ(config.udp_idle_timeout_ms, 1000);
  ASSERT_EQ(config.routes.size(), 2u);
  const ServerRoute& eu1 = config.routes[0];
  EXPECT_EQ(eu1.name, "eu1");
  EXPECT_EQ(eu1.protocol, "both");
  EXPECT_EQ(eu1.listen_port, 7000);
  EXPECT_EQ(eu1.target_host, "10.0.0.5");
  EXPECT_EQ(eu1.target_port, 7100);
  EXPECT_EQ(eu1.max_connections, 4096);
  EXPECT_TRUE(eu1.enabled);
  EXPECT_EQ(config.routes[1].protocol, "udp");
  EXPECT_EQ(config.routes[1].max_connections, 100000);
  EXPECT_TRUE(config.routes[1].enabled);
}

TEST_F(ServerConfigFile, RoutesFollowSectionByteOrder) {
  // "[Route:z]" is not a route section; "[route: x]" and "[route:x]" both name "x".
  const ServerConfig config =
      load(route("b", "listen_port = 1\n") + route("a", "listen_port = 2\n") +
           "[Route:z]\nlisten_port = 1\n" + route("B", "listen_port = 3\n") +
           route(" x", "listen_port = 4\n") + route("x", "listen_port = 5\n"));
  std::vector<std::string> names;
  for (const ServerRoute& r : config.routes) names.push_back(r.name);
  EXPECT_EQ(names, (std::vector<std::string>{"x", "B", "a", "b", "x"}));
}

TEST_F(ServerConfigFile, DisabledRoutesAreKeptButNotChecked) {
  for (const char* off : {"no", "false", "OFF", "0"}) {
    const ServerConfig config =
        load(route("r") + "[route:   ]\nprotocol = bogus\nenabled = " + off + "\n");
    ASSERT_EQ(config.routes.size(), 2u) << off;
    EXPECT_EQ(config.routes[0].name, "");
    EXPECT_FALSE(config.routes[0].enabled);
    EXPECT_EQ(config.routes[0].listen_port, 0);
  }
}

TEST_F(ServerConfigFile, RulesInOrderFirstFailureWins) {
  const std::string ports = "线路 a 的端口必须在 1 到 65535 之间";
  const std::string protocol = "线路 a 的 protocol 必须是 tcp、udp 或 both";
  const std::string timeout = "server.connection_timeout_ms 必须在 100 到 300000 之间";
  const std::string idle = "server.udp_idle_timeout_ms 必须在 1000 到 3600000 之间";
  const std::string none = "至少需要一条启用的线路";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", none},
      {"[server]\nlisten_address = 1.2.3.4\n", none},
      {route("a", "enabled = off\n"), none},
      {"[server]\nconnection_timeout_ms = 100\n" + route("a"), ""},
      {"[server]\nconnection_timeout_ms = 300000\n" + route("a"), ""},
      {"[server]\nconnection_timeout_ms = 99\n" + route("a"), timeout},
      {"[server]\nconnection_timeout_ms = 300001\n" + route("a"), timeout},
      {"[server]\nudp_idle_timeout_ms = 3600000\n" + route("a"), ""},
      {"[server]\nudp_idle_timeout_ms = 999\n" + route("a"), idle},
      {"[server]\nudp_idle_timeout_ms = 3600001\n" + route("a"), idle},
      {"[server]\nudp_idle_timeout_ms = -5000\n" + route("a"), idle},
      {"[server]\nlisten_address =\nconnection_timeout_ms = 0\n" + route(""),
       "server.listen_address 不能为空"},
      {route("", "protocol = x\n"), "启用的线路 name 不能为空"},
      {route("a", "protocol = tcp,udp\nlisten_port = 0\n"), protocol},
      {route("a", "protocol =\n"), protocol},
      {route("a", "listen_port = 65535\ntarget_port = 1\n"), ""},
      {route("a", "listen_port =\n"), ports},
      {route("a", "target_port = 65536\ntarget_host =\nmax_connections = 0\n"), ports},
      {route("a", "target_host =\n"), "线路 a 的 target_host 不能为空"},
      {route("a", "max_connections = 100001\n"), "线路 a 的 max_connections 超出范围"},
      {route("a", "max_connections = 0\n"), "线路 a 的 max_connections 超出范围"},
      {route("a", "target_host =\n") + route("b", "protocol = x\n"),
       "线路 a 的 target_host 不能为空"},
      // Listener claims: one per protocol and port, disabled routes claim nothing.
      {route("a") + route("b"), "tcp 监听端口重复: 7000"},
      {route("a") + route("b", "protocol = udp\n"), ""},
      {route("a", "protocol = both\n"), ""},
      {route("a", "protocol = both\n") + route("b", "protocol = udp\n"), "udp 监听端口重复: 7000"},
      {route("a", "protocol = udp\n") + route("b", "protocol = both\n"), "udp 监听端口重复: 7000"},
      {route("a") + route("b", "protocol = both\n"), "tcp 监听端口重复: 7000"},
      {route("a") + route("b", "enabled = no\n"), ""},
      {route("a") + route(" a", "listen_port = 7001\n"), ""},
      {route("a") + "[server\n", "配置第 5 行缺少 '='"},
  };
  for (const auto& [content, message] : cases) {
    EXPECT_EQ(error_at(dir_.write("server.ini", content)), message) << content;
  }
}

TEST_F(ServerConfigFile, UnreadableFile) {
  const auto missing = dir_.path() / "missing.ini";
  EXPECT_EQ(error_at(missing), "无法打开配置文件: " + missing.string());
  EXPECT_EQ(error_at(dir_.path()), "无法打开配置文件: " + dir_.path().string());
}

TEST(ServerConfigRecord, ValidatesWithoutLoader) {
  ServerConfig config;
  ServerRoute r;
  r.name = "a";
  r.protocol = "TCP";  // the loader lowers it; the checker compares bytes
  r.listen_port = 1;
  r.target_host = "h";
  r.target_port = 1;
  config.routes.push_back(r);
  EXPECT_THROW(validate_server_config(config), std::runtime_error);
  config.routes[0].protocol = "tcp";
  EXPECT_NO_THROW(validate_server_config(config));
}

}  // namespace
}  // namespace tarnwicket
