#include "config/client_config.h"

#include <stdexcept>
#include <string>
#include <string_view>

#include "config/ini.h"
#include "config/text.h"

namespace tarnwicket {
namespace {

const std::string kClientSection = "client";
constexpr std::string_view kRoutePrefix = "route:";
constexpr int kMaxShieldWaitMs = 300000;
constexpr int kMaxPort = 65535;

// Every key of [client] is read with the field's current value as the
// fallback: an absent key keeps the default, a present empty one overrides it,
// and an unreadable number or boolean keeps the default.
void read_text(const IniFile& ini, const std::string& key, std::string& field) {
  field = ini.get(kClientSection, key, field);
}

void read_bool(const IniFile& ini, const std::string& key, bool& field) {
  field = parse_bool(ini.get(kClientSection, key, field ? "true" : "false"), field);
}

void read_int(const IniFile& ini, const std::string& key, int& field) {
  field = parse_int(ini.get(kClientSection, key, std::to_string(field)), field);
}

void read_path(const IniFile& ini, const std::string& key, std::filesystem::path& field) {
  field = ini.get(kClientSection, key, field.string());
}

ClientRoute read_route(const IniFile& ini, const std::string& section) {
  ClientRoute route;
  route.name = trim(section.substr(kRoutePrefix.size()));
  route.service_id = ini.get(section, "service_id", route.name);
  route.protocol = lower(trim(ini.get(section, "protocol", "tcp")));
  route.node_port = parse_int(ini.get(section, "node_port", ""), 0);
  route.server_port = parse_int(ini.get(section, "server_port", ""), 0);
  route.enabled = parse_bool(ini.get(section, "enabled", "true"), true);
  return route;
}

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

bool valid_port(int port) { return port >= 1 && port <= kMaxPort; }

void validate_route(const ClientRoute& route) {
  if (route.name.empty() || route.service_id.empty()) {
    fail("客户端线路 name 和 service_id 不能为空");
  }
  if (route.protocol != "tcp" && route.protocol != "udp" && route.protocol != "both") {
    fail("客户端线路 " + route.name + " 的 protocol 必须是 tcp、udp 或 both");
  }
  if (!valid_port(route.node_port) || !valid_port(route.server_port)) {
    fail("客户端线路端口必须在 1 到 65535 之间");
  }
}

}  // namespace

ClientConfig load_client_config(const std::filesystem::path& path) {
  const IniFile ini = load_ini(path);
  ClientConfig config;

  read_bool(ini, "native_mode", config.native_mode);
  read_text(ini, "product_name", config.product_name);
  read_text(ini, "version", config.version);
  read_text(ini, "company_name", config.company_name);
  read_text(ini, "file_description", config.file_description);
  read_text(ini, "copyright", config.copyright);
  read_text(ini, "original_filename", config.original_filename);
  read_text(ini, "internal_name", config.internal_name);
  read_text(ini, "launcher_name", config.launcher_name);
  read_text(ini, "shield_name", config.shield_name);
  read_text(ini, "agent_name", config.agent_name);
  read_bool(ini, "agent_enabled", config.agent_enabled);
  read_text(ini, "output_name", config.output_name);
  read_path(ini, "output_dir", config.output_dir);
  read_path(ini, "runtime_path", config.runtime_path);
  read_path(ini, "icon_path", config.icon_path);
  read_path(ini, "packer_path", config.packer_path);
  read_text(ini, "packer_command", config.packer_command);
  read_text(ini, "launch_order", config.launch_order);
  read_text(ini, "launcher_args", config.launcher_args);
  read_text(ini, "shield_args", config.shield_args);
  read_int(ini, "shield_wait_ms", config.shield_wait_ms);
  read_bool(ini, "cleanup", config.cleanup);
  config.nodes = split(ini.get(kClientSection, "nodes", ""), '|');

  // The document's sections are ordered byte-wise, which gives the route order.
  for (const auto& entry : ini.sections) {
    if (entry.first.starts_with(kRoutePrefix)) {
      config.routes.push_back(read_route(ini, entry.first));
    }
  }

  validate_client_config(config);
  return config;
}

void validate_client_config(const ClientConfig& config) {
  if (config.product_name.empty() || config.version.empty() || config.company_name.empty() ||
      config.file_description.empty()) {
    fail("客户端产品名、版本、公司名和文件描述不能为空");
  }
  if (config.agent_name.empty() || config.output_name.empty() || config.original_filename.empty() ||
      config.internal_name.empty()) {
    fail("客户端文件名和 PE 标识不能为空");
  }
  if (config.native_mode && !config.agent_enabled) {
    fail("原生 C++ 客户端必须启用内置 Agent");
  }
  if (!config.native_mode && (config.launcher_name.empty() || config.shield_name.empty())) {
    fail("兼容模式必须配置登录器和盾程序文件名");
  }
  if (config.shield_wait_ms < 0 || config.shield_wait_ms > kMaxShieldWaitMs) {
    fail("client.shield_wait_ms 必须在 0 到 300000 之间");
  }
  if (!config.native_mode) {
    const std::string order = lower(config.launch_order);
    if (order != "shield,launcher" && order != "launcher,shield") {
      fail("client.launch_order 只能是 shield,launcher 或 launcher,shield");
    }
  }
  if (config.nodes.empty()) {
    fail("client.nodes 至少需要一个节点");
  }

  // Disabled routes are kept for the manifest but never checked.
  bool any_enabled = false;
  for (const ClientRoute& route : config.routes) {
    if (route.enabled) {
      any_enabled = true;
      validate_route(route);
    }
  }
  if (!any_enabled) {
    fail("客户端至少需要一条启用的线路");
  }
}

}  // namespace tarnwicket
