#pragma once

#include <string_view>

namespace tarnwicket {

// Sends one datagram from a fresh AF_UNIX socket to `path`; a leading '@' names
// an abstract socket. False when the path is unusable or the send fails; it
// retries EINTR and never raises SIGPIPE.
bool send_unix_datagram(std::string_view path, std::string_view data);

}  // namespace tarnwicket
