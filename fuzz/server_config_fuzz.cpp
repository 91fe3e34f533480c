// load_server_config on arbitrary bytes: a configuration that passes its own
// checks again, or a runtime error with one of the loader's messages.

#include <stdexcept>

#include "config/server_config.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwicket::fuzz;
  const auto config = load_input(data, size, tarnwicket::load_server_config, is_server_message);
  if (!config) return 0;
  // The gateway checks its copy again: a loaded record must pass.
  try {
    tarnwicket::validate_server_config(*config);
  } catch (const std::runtime_error& error) {
    contract_broken("loaded record fails its check", error.what());
  }
  return 0;
}
