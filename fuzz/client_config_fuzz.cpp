// load_client_config on arbitrary bytes: a record that passes its own checks
// again, or one line of the loader's.

#include "config/client_config.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwicket::fuzz;
  const auto config = load_input(data, size, tarnwicket::load_client_config,
                                 {"客户端", "client.", "原生 C++ ", "兼容模式"});
  try {
    if (config) tarnwicket::validate_client_config(*config);
  } catch (const std::runtime_error& error) {
    contract_broken("loaded record fails its check", error.what());
  }
  return 0;
}
