// load_server_config on arbitrary bytes: a configuration that passes its own
// checks again, or one line of the loader's.

#include "config/server_config.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwicket::fuzz;
  const auto config = load_input(
      data, size, tarnwicket::load_server_config,
      {"线路 ", "启用的线路 ", "至少需要", "server.", "tcp 监听端口重复: ", "udp 监听端口重复: "});
  try {
    if (config) tarnwicket::validate_server_config(*config);
  } catch (const std::runtime_error& error) {
    contract_broken("loaded record fails its check", error.what());
  }
  return 0;
}
