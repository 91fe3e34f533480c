#pragma once

#include <filesystem>

#include "config/server_config.h"

namespace tarnwicket {

// Blocks SIGINT, SIGTERM, SIGHUP and SIGQUIT in the calling thread for good.
// Threads started afterwards inherit the mask, so these signals stay pending
// for the process until run_server takes them with sigtimedwait: no handler
// runs at an arbitrary point, none is lost between a check and a sleep, and
// none that comes before the run loop ends the process with its default
// action. main calls it first of all.
void block_control_signals();

// Runs one gateway built from a copy of `config` until SIGINT or SIGTERM, or
// the end of a drain that SIGQUIT began, then stops and destroys it. SIGHUP
// reloads the configuration from `config_path`. Start-up failures pass out as
// exceptions, thrown only after the gateway has been stopped and destroyed.
// Only the main thread may call this, once at a time.
void run_server(const ServerConfig& config, const std::filesystem::path& config_path);

}  // namespace tarnwicket
