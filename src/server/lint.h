#pragma once

// --lint: what a valid server configuration says in vain.

#include <string>

#include "config/ini.h"
#include "config/server_config.h"

namespace tarnwicket {

// `config` is what read_server_config made of `ini`. One "PATH:LINE: TEXT"
// line per finding, in file order, each ending in a line feed: keys nothing read, numbers and
// booleans that fell back to their default, enabled routes named twice, and a listen_address that
// the start refuses.
std::string lint_server_config(const IniFile& ini, const ServerConfig& config,
                               const std::string& path);

}  // namespace tarnwicket
