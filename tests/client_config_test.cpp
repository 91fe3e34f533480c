#include "config/client_config.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/process.h"

namespace tarnwicket {
namespace {

const std::string kGameRoute = "[route:game]\nnode_port = 7000\nserver_port = 7001\n";

ClientConfig load_text(const std::string& text) {
  test::TempDir dir;
  return load_client_config(dir.write("client.ini", text));
}

std::string load_error(const std::string& text) {
  try {
    load_text(text);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(loaded)";
}

std::vector<std::string> route_names(const ClientConfig& config) {
  std::vector<std::string> names;
  for (const ClientRoute& route : config.routes) names.push_back(route.name);
  return names;
}

TEST(ClientConfigReading, MinimalFileKeepsDefaults) {
  const ClientConfig config = load_text("[client]\nnodes = node-a\n" + kGameRoute);
  EXPECT_TRUE(config.native_mode);
  EXPECT_EQ(config.original_filename, "Tarnwicket.Launcher.exe");
  EXPECT_EQ(config.output_dir, "dist");
  EXPECT_EQ(config.shield_wait_ms, 500);
  EXPECT_EQ(config.nodes, std::vector<std::string>{"node-a"});
  ASSERT_EQ(config.routes.size(), 1u);
  EXPECT_EQ(config.routes[0].name, "game");
  EXPECT_EQ(config.routes[0].service_id, "game");
  EXPECT_EQ(config.routes[0].protocol, "tcp");
  EXPECT_EQ(config.routes[0].node_port, 7000);
  EXPECT_EQ(config.routes[0].server_port, 7001);
  EXPECT_TRUE(config.routes[0].enabled);
}

TEST(ClientConfigReading, PresentKeysOverrideEvenWhenEmpty) {
  const ClientConfig config = load_text(
      "[client]\nnodes = a| b ||c\ncopyright = (c) T\noutput_dir =\nicon_path = art/i.ico\n"
      "launch_order =\npacker_command = pack -q\nshield_wait_ms = 0\ncleanup = YES\n" +
      kGameRoute);
  EXPECT_EQ(config.nodes, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(config.copyright, "(c) T");
  EXPECT_EQ(config.output_dir, "");
  EXPECT_EQ(config.icon_path, "art/i.ico");
  EXPECT_EQ(config.launch_order, "");
  EXPECT_EQ(config.packer_command, "pack -q");
  EXPECT_EQ(config.shield_wait_ms, 0);
  EXPECT_TRUE(config.cleanup);
}

TEST(ClientConfigReading, UnreadableValuesFallBack) {
  for (const char* wait : {"abc", "12ms", "1.5", "99999999999"}) {
    const ClientConfig config = load_text(
        "[client]\nnodes = n|\nnative_mode = maybe\n"
        "agent_enabled = 2\ncleanup = enabled\n"
        "shield_wait_ms = " +
        std::string(wait) + "\n" + kGameRoute);
    EXPECT_EQ(config.shield_wait_ms, 500) << wait;
    EXPECT_TRUE(config.native_mode);
    EXPECT_TRUE(config.agent_enabled);
    EXPECT_FALSE(config.cleanup);
    EXPECT_EQ(config.nodes, std::vector<std::string>{"n"});
  }
}

TEST(ClientConfigReading, RouteSections) {
  // Sections are taken in byte order, not file order; "route: a" sorts before "route:a".
  EXPECT_EQ(route_names(load_text("[client]\nnodes = n\n[route:b]\nnode_port = 1\n"
                                  "server_port = 2\n[route:a]\nnode_port = 3\nserver_port = 4\n"
                                  "[route: a]\nnode_port = 5\nserver_port = 6\n")),
            (std::vector<std::string>{"a", "a", "b"}));
  // A header without keys leaves no section; "[Route:x]" is not a route section.
  EXPECT_EQ(route_names(load_text("[client]\nnodes = n\n[route:empty]\n# nothing\n[Route:x]\n"
                                  "node_port = 1\n[route: game ]\nnode_port = 7000\n"
                                  "server_port = 7001\nprotocol = UDP \n")),
            std::vector<std::string>{"game"});
  const ClientConfig config = load_text(
      "[client]\nnodes = n\n[route:]\nenabled = off\n[route:x]\nservice_id = svc\n"
      "protocol = Both\nnode_port = 1\nserver_port = 65535\n");
  ASSERT_EQ(config.routes.size(), 2u);
  EXPECT_EQ(config.routes[0].name, "");
  EXPECT_FALSE(config.routes[0].enabled);
  EXPECT_EQ(config.routes[1].service_id, "svc");
  EXPECT_EQ(config.routes[1].protocol, "both");
}

TEST(ClientConfigReading, LoadFailures) {
  const std::string nodes_missing = "client.nodes 至少需要一个节点";
  EXPECT_EQ(load_error(""), nodes_missing);
  EXPECT_EQ(load_error("nodes = a\n" + kGameRoute), nodes_missing);  // section "default"
  EXPECT_EQ(load_error("[client]\nnodes = | \n" + kGameRoute), nodes_missing);
  EXPECT_EQ(load_error("[client]\nnodes = n\nproduct_name =\n" + kGameRoute),
            "客户端产品名、版本、公司名和文件描述不能为空");
  EXPECT_EQ(load_error("[client]\nnodes = n\n[Route:game]\nnode_port = 1\nserver_port = 1\n"),
            "客户端至少需要一条启用的线路");
  EXPECT_EQ(load_error("[client]\nnodes = n\n[route:]\nnode_port = 1\nserver_port = 1\n"),
            "客户端线路 name 和 service_id 不能为空");
  EXPECT_EQ(load_error("[client]\nnodes = n\n[route:game]\nnode_port = 7000\n"),
            "客户端线路端口必须在 1 到 65535 之间");
  EXPECT_EQ(load_error("[client]\nnodes = n\n[route:game]\nprotocol = sctp\n"),
            "客户端线路 game 的 protocol 必须是 tcp、udp 或 both");
  EXPECT_EQ(load_error("[client]\nnodes\n"), "配置第 2 行缺少 '='");

  const std::filesystem::path missing = "/nonexistent/tarnwicket/client.ini";
  try {
    load_client_config(missing);
    ADD_FAILURE() << "loaded a missing file";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "无法打开配置文件: " + missing.string());
  }
}

// ---- validate_client_config on records built in code ----

ClientConfig valid_config(bool native_mode) {
  ClientConfig config;
  config.native_mode = native_mode;
  config.nodes = {"node-a"};
  config.routes = {ClientRoute{"game", "game", "tcp", 7000, 7001, true}};
  return config;
}

struct ValidationCase {
  const char* name;
  bool native_mode;
  std::function<void(ClientConfig&)> change;
  std::string message;  // empty: the record is valid
};

const std::string kRule1 = "客户端产品名、版本、公司名和文件描述不能为空";
const std::string kRule2 = "客户端文件名和 PE 标识不能为空";
const std::string kRule3 = "原生 C++ 客户端必须启用内置 Agent";
const std::string kRule4 = "兼容模式必须配置登录器和盾程序文件名";
const std::string kRule5 = "client.shield_wait_ms 必须在 0 到 300000 之间";
const std::string kRule6 = "client.launch_order 只能是 shield,launcher 或 launcher,shield";
const std::string kRule7 = "client.nodes 至少需要一个节点";
const std::string kNoRoute = "客户端至少需要一条启用的线路";
const std::string kRule9 = "客户端线路 name 和 service_id 不能为空";
const std::string kRule11 = "客户端线路端口必须在 1 到 65535 之间";

ClientRoute route(std::string name, std::string protocol, int node_port, bool enabled = true) {
  return ClientRoute{name, name, std::move(protocol), node_port, 7001, enabled};
}

const ValidationCase kValidationCases[] = {
    {"native valid", true, [](ClientConfig&) {}, ""},
    {"compat valid", false, [](ClientConfig&) {}, ""},
    {"rule 1 product", true, [](ClientConfig& c) { c.product_name.clear(); }, kRule1},
    {"rule 1 wins over no nodes", true,
     [](ClientConfig& c) {
       c.version.clear();
       c.nodes.clear();
     },
     kRule1},
    {"rule 2 native", true, [](ClientConfig& c) { c.agent_name.clear(); }, kRule2},
    {"rule 2 compat", false, [](ClientConfig& c) { c.internal_name.clear(); }, kRule2},
    {"rule 3", true, [](ClientConfig& c) { c.agent_enabled = false; }, kRule3},
    {"rule 3 not in compat", false, [](ClientConfig& c) { c.agent_enabled = false; }, ""},
    {"rule 4 launcher", false, [](ClientConfig& c) { c.launcher_name.clear(); }, kRule4},
    {"rule 4 shield before rule 5", false,
     [](ClientConfig& c) {
       c.shield_name.clear();
       c.shield_wait_ms = -1;
     },
     kRule4},
    {"native ignores launcher and order", true,
     [](ClientConfig& c) {
       c.launcher_name.clear();
       c.launch_order = "any";
     },
     ""},
    {"rule 5 low", true, [](ClientConfig& c) { c.shield_wait_ms = -1; }, kRule5},
    {"rule 5 high before rule 6", false,
     [](ClientConfig& c) {
       c.shield_wait_ms = 300001;
       c.launch_order = "any";
     },
     kRule5},
    {"rule 5 bounds", true, [](ClientConfig& c) { c.shield_wait_ms = 300000; }, ""},
    {"rule 6 case-blind", false, [](ClientConfig& c) { c.launch_order = "Launcher,Shield"; }, ""},
    {"rule 6 blank", false, [](ClientConfig& c) { c.launch_order = "shield, launcher"; }, kRule6},
    {"rule 7 wins over no routes", false,
     [](ClientConfig& c) {
       c.nodes.clear();
       c.routes.clear();
     },
     kRule7},
    {"rule 8", true, [](ClientConfig& c) { c.routes.clear(); }, kNoRoute},
    {"rule 9 name", true, [](ClientConfig& c) { c.routes[0].name.clear(); }, kRule9},
    {"rule 9 service", false, [](ClientConfig& c) { c.routes[0].service_id.clear(); }, kRule9},
    {"rule 9 before rule 10", true,
     [](ClientConfig& c) {
       c.routes = {ClientRoute{"", "svc", "sctp", 0, 0, true}};
     },
     kRule9},
    {"rule 10 not lowered", true, [](ClientConfig& c) { c.routes[0].protocol = "UDP"; },
     "客户端线路 game 的 protocol 必须是 tcp、udp 或 both"},
    {"rule 10 name as stored", false, [](ClientConfig& c) { c.routes = {route(" x ", "", 1)}; },
     "客户端线路  x  的 protocol 必须是 tcp、udp 或 both"},
    {"rule 11 node port", true, [](ClientConfig& c) { c.routes[0].node_port = 0; }, kRule11},
    {"rule 11 server port", true, [](ClientConfig& c) { c.routes[0].server_port = 65536; },
     kRule11},
    {"port bounds", true,
     [](ClientConfig& c) {
       c.routes = {route("a", "udp", 1), route("b", "both", 65535)};
     },
     ""},
    {"route by route", true,
     [](ClientConfig& c) {
       c.routes = {route("a", "tcp", 0), route("b", "sctp", 1)};
     },
     kRule11},
    {"disabled routes unchecked", false,
     [](ClientConfig& c) {
       c.routes = {route("", "sctp", 0, false), route("b", "tcp", 1)};
     },
     ""},
    {"rule 12", true,
     [](ClientConfig& c) {
       c.routes = {route("a", "tcp", 1, false), route("b", "tcp", 2, false)};
     },
     kNoRoute},
};

TEST(ClientConfigValidation, RulesInOrder) {
  for (const ValidationCase& item : kValidationCases) {
    ClientConfig config = valid_config(item.native_mode);
    item.change(config);
    std::string got;
    try {
      validate_client_config(config);
    } catch (const std::runtime_error& error) {
      got = error.what();
    }
    EXPECT_EQ(got, item.message) << item.name;
  }
}

}  // namespace
}  // namespace tarnwicket
