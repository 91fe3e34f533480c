#include "server/lint.h"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "net/address.h"

namespace tarnwicket {
namespace {

constexpr std::string_view kRoutePrefix = "route:";

bool is_route(const std::string& section) { return section.starts_with(kRoutePrefix); }

}  // namespace

std::string lint_server_config(const IniFile& ini, const ServerConfig& config,
                               const std::string& path) {
  std::vector<std::pair<std::size_t, std::string>> findings;  // line, text
  for (const auto& [where, line] : ini.key_lines) {
    const auto& [section, key] = where;
    if (section != "server" && !is_route(section)) continue;
    const bool unknown = !ini.asked.contains(where);
    if (!unknown && !ini.fell_back.contains(where)) continue;
    std::string text = unknown ? "未知的键 " : "值无法读取，使用默认值 ";
    text.append(section).append(".").append(key);
    if (!unknown) text.append(" = ").append(ini.sections.at(section).at(key));
    findings.emplace_back(line, std::move(text));
  }

  // The routes come in the order of their sections in the document.
  std::map<std::string, const ServerRoute*> routes;
  auto route = config.routes.begin();
  for (const auto& [section, keys] : ini.sections) {
    if (is_route(section) && route != config.routes.end()) routes[section] = &*route++;
  }
  // A repeated header merges into the route it repeats, which the second
  // header does not say: it counts as a second route of that name.
  std::set<std::string> names;
  for (const auto& [section, line] : ini.headers) {
    const auto found = routes.find(section);
    if (found == routes.end() || !found->second->enabled) continue;
    if (!names.insert(found->second->name).second) {
      findings.emplace_back(line, "线路名称重复 " + found->second->name);
    }
  }

  // The start refuses what the listener's address parser cannot read.
  if (!parse_ip_address(config.listen_address)) {
    findings.emplace_back(ini.key_lines.at({"server", "listen_address"}),
                          "listen_address 启动时会被拒绝 " + config.listen_address);
  }

  std::stable_sort(findings.begin(), findings.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string out;
  for (const auto& [line, text] : findings) {
    out.append(path).append(":").append(std::to_string(line)).append(": ").append(text) += '\n';
  }
  return out;
}

}  // namespace tarnwicket
