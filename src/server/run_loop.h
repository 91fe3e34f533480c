#pragma once

#include <filesystem>

#include "config/server_config.h"

namespace tarnwicket {

// Runs one gateway built from a copy of `config` until SIGINT or SIGTERM, or
// the end of a drain that SIGQUIT began, then stops and destroys it. SIGHUP
// reloads the configuration from `config_path`. Start-up failures pass out as
// exceptions, thrown only after the gateway has been stopped and destroyed.
// Only the main thread may call this, once at a time.
void run_server(const ServerConfig& config, const std::filesystem::path& config_path);

}  // namespace tarnwicket
