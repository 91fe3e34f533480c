#pragma once

// Notifications to the service manager: one datagram each to the socket named
// by $NOTIFY_SOCKET. Without the variable, or when the socket cannot be
// reached, they do nothing: they never fail the caller nor write output.

#include <string_view>

namespace tarnwicket {

// Every listener (and the admin port) accepts: READY=1. Also sent when a
// reload ends.
void notify_ready();
// A reload begins: RELOADING=1 with MONOTONIC_USEC, the time on CLOCK_MONOTONIC.
void notify_reloading();
// A stop or a drain begins: STOPPING=1.
void notify_stopping();
// A line for the service manager to show: STATUS=text.
void notify_status(std::string_view text);

}  // namespace tarnwicket
