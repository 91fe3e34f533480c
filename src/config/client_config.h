#pragma once

// The client packaging configuration. The server never uses it; it is the
// library's interface for the packaging step.

#include <filesystem>
#include <string>
#include <vector>

namespace tarnwicket {

struct ClientRoute {
  std::string name;
  std::string service_id;
  std::string protocol = "tcp";
  int node_port = 0;
  int server_port = 0;
  bool enabled = true;
};

struct ClientConfig {
  bool native_mode = true;
  std::string product_name = "Tarnwicket";
  std::string version = "1.0.0";
  std::string company_name = "Tarnwicket";
  std::string file_description = "Tarnwicket client";
  std::string copyright;
  std::string original_filename = "Tarnwicket.Launcher.exe";
  std::string internal_name = "Tarnwicket.Launcher";
  std::string launcher_name = "launcher.exe";
  std::string shield_name = "shield.exe";
  std::string agent_name = "tarnwicket-agent.exe";
  bool agent_enabled = true;
  std::string output_name = "Tarnwicket.Client.exe";
  std::filesystem::path output_dir = "dist";
  std::filesystem::path runtime_path;
  std::filesystem::path icon_path;
  std::filesystem::path packer_path;
  std::string packer_command;
  std::string launch_order = "shield,launcher";
  std::string launcher_args;
  std::string shield_args;
  int shield_wait_ms = 500;
  bool cleanup = false;
  std::vector<std::string> nodes;
  std::vector<ClientRoute> routes;
};

// Reads and validates the file; throws std::runtime_error with the message.
ClientConfig load_client_config(const std::filesystem::path& path);

// Throws std::runtime_error with the message of the first rule that fails.
void validate_client_config(const ClientConfig& config);

}  // namespace tarnwicket
