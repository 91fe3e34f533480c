#pragma once

// Internal to the configuration library: the rule that a route may not
// target its own listener.

#include <string>

#include "config/server_config.h"

namespace tarnwicket {

// Whether a connect to the route's target would come back to the route's own
// listener, again and again. Addresses are compared, whatever their spelling;
// of the names only "localhost" is known, others are not resolved here.
bool targets_itself(const ServerRoute& route, const std::string& listen_address);

}  // namespace tarnwicket
