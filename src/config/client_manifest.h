#pragma once

#include <filesystem>
#include <string>

#include "config/client_config.h"

namespace tarnwicket {

// The plain key=value manifest of a client package. Validates nothing and
// escapes nothing; every line ends in one line feed.
std::string make_client_manifest(const ClientConfig& config,
                                 const std::filesystem::path& source_launcher,
                                 const std::filesystem::path& source_shield);

}  // namespace tarnwicket
