#pragma once

#include "config/server_config.h"

namespace tarnwicket {

// Runs one gateway built from a copy of `config` until SIGINT or SIGTERM, then
// stops and destroys it. Start-up failures pass out as exceptions, thrown only
// after the gateway has been stopped and destroyed. Only the main thread may
// call this, once at a time.
void run_server(const ServerConfig& config);

}  // namespace tarnwicket
