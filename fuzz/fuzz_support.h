#pragma once

// Shared by the fuzz targets: a broken property aborts with a message, which
// libFuzzer records as a crash.

#include <cstdlib>
#include <iostream>
#include <string_view>

namespace tarnwicket::fuzz {

[[noreturn]] inline void contract_broken(std::string_view what, std::string_view detail) {
  std::cerr << "contract broken: " << what << ": " << detail << std::endl;
  std::abort();
}

}  // namespace tarnwicket::fuzz
