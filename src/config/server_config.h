#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tarnwicket {

struct ServerRoute {
  std::string name;
  std::string protocol = "tcp";  // "tcp", "udp" or "both"
  int listen_port = 0;
  std::string target_host;
  int target_port = 0;
  int max_connections = 4096;  // TCP connections, and separately UDP associations
  bool enabled = true;         // disabled routes are kept but never checked or served
};

struct ServerConfig {
  std::string listen_address = "0.0.0.0";
  int connection_timeout_ms = 5000;
  int udp_idle_timeout_ms = 60000;
  std::vector<ServerRoute> routes;  // every route section, in section order
  int admin_port = 0;               // metrics and health over HTTP; 0: off
  std::string admin_address = "127.0.0.1";
};

// Reads and validates the file; throws std::runtime_error with the message.
ServerConfig load_server_config(const std::filesystem::path& path);

// Throws std::runtime_error with the message of the first rule that fails.
void validate_server_config(const ServerConfig& config);

}  // namespace tarnwicket
