#include "config/client_config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "config/client_manifest.h"
#include "support/process.h"

namespace tarnwicket {
namespace {

const std::string kValid =
    "[client]\nnodes = node-a|node-b\n[route:game]\nnode_port = 7000\nserver_port = 7001\n";

ClientConfig load_text(const std::string& text) {
  test::TempDir dir;
  return load_client_config(dir.write("client.ini", text));
}

// The keys the manifest leaves out, in one text.
std::string unlisted(const ClientConfig& c) {
  return c.output_dir.string() + "|" + c.runtime_path.string() + "|" + c.icon_path.string() + "|" +
         c.packer_path.string() + "|" + c.packer_command + "|" + c.launcher_args + "|" +
         c.shield_args;
}

TEST(ClientConfig, DefaultsGiveTheDocumentedManifest) {
  const ClientConfig config = load_text(kValid);
  std::ifstream golden(test::source_dir() / "tests" / "data" / "example.manifest");
  EXPECT_EQ(make_client_manifest(config, "in/launcher.exe", "in/shield.exe"),
            std::string(std::istreambuf_iterator<char>(golden), {}));
  EXPECT_EQ(unlisted(config), "dist||||||");
}

// A present key overrides even when empty; unreadable numbers and booleans keep the
// default. Routes come in section byte order; a disabled one is kept.
TEST(ClientConfig, PresentKeysAndRoutes) {
  const ClientConfig config = load_text(
      kValid +
      "[client]\nnodes = a| b ||c\noutput_dir =\nicon_path = art/i.ico\nruntime_path = r\n"
      "packer_path = p\npacker_command = c -x\nlauncher_args = l\nshield_args = s\n"
      "shield_wait_ms = 12ms\nnative_mode = maybe\nagent_enabled = 2\ncleanup = YES\n"
      "[route:]\nenabled = off\n[Route:x]\nnode_port = 1\n"
      "[route: a ]\nservice_id = svc\nprotocol = Both \nnode_port = 1\nserver_port = 2\n");
  EXPECT_EQ(unlisted(config), "|r|art/i.ico|p|c -x|l|s");
  const std::string manifest = make_client_manifest(config, "", "");
  EXPECT_TRUE(manifest.starts_with("product_name=Tarnwicket\nmode=native-cpp\n"));
  EXPECT_TRUE(manifest.ends_with(
      "agent_enabled=true\noutput=Tarnwicket.Client.exe\nlaunch_order=shield,launcher\n"
      "shield_wait_ms=500\ncleanup=true\nnodes=a|b|c\nsource_launcher=\nsource_shield=\nroutes=3\n"
      "route.=,tcp,0,0,disabled\nroute.a=svc,both,1,2,enabled\nroute.game=game,tcp,7000,7001,"
      "enabled\n"))
      << manifest;
}

// Each case is appended to a valid file: a repeated section adds to it, the last value wins.
TEST(ClientConfig, RulesInOrderFirstFailureWins) {
  const std::string compat = "[client]\nnative_mode = no\n";
  const std::string nodes = "client.nodes 至少需要一个节点";
  const std::string shield_wait = "client.shield_wait_ms 必须在 0 到 300000 之间";
  const std::string order = "client.launch_order 只能是 shield,launcher 或 launcher,shield";
  const std::string no_route = "客户端至少需要一条启用的线路";
  const std::string ports = "客户端线路端口必须在 1 到 65535 之间";
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {compat + "launch_order = Launcher,Shield\nshield_wait_ms = 300000\n", ""},
      {"[client]\nversion =\nnodes =\n", "客户端产品名、版本、公司名和文件描述不能为空"},
      {"[client]\ninternal_name =\nagent_enabled = no\n", "客户端文件名和 PE 标识不能为空"},
      {"[client]\nagent_enabled = no\nshield_wait_ms = -1\n", "原生 C++ 客户端必须启用内置 Agent"},
      {compat + "agent_enabled = no\nshield_name =\nshield_wait_ms = -1\n",
       "兼容模式必须配置登录器和盾程序文件名"},
      {"[client]\nlauncher_name =\nlaunch_order = any\nshield_wait_ms = 0\n", ""},
      {"[client]\nshield_wait_ms = -1\n", shield_wait},
      {compat + "shield_wait_ms = 300001\nlaunch_order = any\n", shield_wait},
      {compat + "launch_order = shield, launcher\n", order},
      {"[client]\nnodes = |\n[route:game]\nenabled = no\n", nodes},
      {"[route:game]\nenabled = no\n[Route:x]\nnode_port = 1\nserver_port = 1\n", no_route},
      {"[route:]\nprotocol = sctp\nnode_port = 0\n", "客户端线路 name 和 service_id 不能为空"},
      {"[route:game]\nservice_id =\n", "客户端线路 name 和 service_id 不能为空"},
      {"[route:game]\nprotocol = sctp\nnode_port = 0\n",
       "客户端线路 game 的 protocol 必须是 tcp、udp 或 both"},
      {"[route:game]\nnode_port = 0\n", ports},
      {"[route:game]\nserver_port = 65536\n", ports},
      {"[route:a]\nnode_port = 1\nserver_port = 65535\nprotocol = udp\n[route:b]\nserver_port = "
       "1\n",
       ports},
      {"[route:b]\nenabled = no\nprotocol = x\n", ""},
      {"[client]\nnodes\n", "配置第 7 行缺少 '='"},
  };
  for (const auto& [extra, message] : cases) {
    std::string got;
    try {
      load_text(kValid + extra);
    } catch (const std::runtime_error& e) {
      got = e.what();
    }
    EXPECT_EQ(got, message) << extra;
  }
}

}  // namespace
}  // namespace tarnwicket
