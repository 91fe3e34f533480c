#include "config/client_manifest.h"

#include <string>
#include <string_view>

#include "config/text.h"

namespace tarnwicket {
namespace {

// Values go out byte for byte: a reader that needs to split them back must
// not be given names containing '=', ',' or a line feed.
void add_line(std::string& out, std::string_view key, std::string_view value) {
  out.append(key);
  out += '=';
  out.append(value);
  out += '\n';
}

std::string_view bool_text(bool value) { return value ? "true" : "false"; }

std::string route_value(const ClientRoute& route) {
  return route.service_id + ',' + route.protocol + ',' + std::to_string(route.node_port) + ',' +
         std::to_string(route.server_port) + ',' + (route.enabled ? "enabled" : "disabled");
}

}  // namespace

std::string make_client_manifest(const ClientConfig& config,
                                 const std::filesystem::path& source_launcher,
                                 const std::filesystem::path& source_shield) {
  std::string out;
  add_line(out, "product_name", config.product_name);
  add_line(out, "mode", config.native_mode ? "native-cpp" : "legacy-payload");
  add_line(out, "version", config.version);
  add_line(out, "company_name", config.company_name);
  add_line(out, "file_description", config.file_description);
  add_line(out, "copyright", config.copyright);
  add_line(out, "original_filename", config.original_filename);
  add_line(out, "internal_name", config.internal_name);
  add_line(out, "launcher", config.launcher_name);
  add_line(out, "shield", config.shield_name);
  add_line(out, "agent", config.agent_name);
  add_line(out, "agent_enabled", bool_text(config.agent_enabled));
  add_line(out, "output", config.output_name);
  add_line(out, "launch_order", config.launch_order);
  add_line(out, "shield_wait_ms", std::to_string(config.shield_wait_ms));
  add_line(out, "cleanup", bool_text(config.cleanup));
  add_line(out, "nodes", join(config.nodes, '|'));
  add_line(out, "source_launcher", source_launcher.native());
  add_line(out, "source_shield", source_shield.native());
  add_line(out, "routes", std::to_string(config.routes.size()));
  for (const ClientRoute& route : config.routes) {
    add_line(out, "route." + route.name, route_value(route));
  }
  return out;
}

}  // namespace tarnwicket
