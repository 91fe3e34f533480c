// load_client_config on arbitrary bytes: a record that passes its own checks
// again, or a runtime error with one of the loader's messages.

#include <stdexcept>

#include "config/client_config.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwicket::fuzz;
  const auto& path = write_input(data, size);
  tarnwicket::ClientConfig config;
  try {
    config = tarnwicket::load_client_config(path);
  } catch (const std::runtime_error& error) {
    if (!is_client_message(error.what(), has_nul(data, size)))
      contract_broken("unexpected message", error.what());
    return 0;
  }
  try {
    tarnwicket::validate_client_config(config);
  } catch (const std::runtime_error& error) {
    contract_broken("loaded record fails its check", error.what());
  }
  return 0;
}
