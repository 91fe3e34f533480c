// A client configuration read from arbitrary bytes: a record that passes its
// own checks again, or one line of the loader's. Its manifest is 20 lines plus
// one per route (loaded values hold no line feed), each ending in a line feed,
// with the route count on line 20.

#include <algorithm>
#include <string>

#include "config/client_config.h"
#include "config/client_manifest.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwicket::fuzz;
  const auto config = load_input(data, size, tarnwicket::load_client_config,
                                 {"客户端", "client.", "原生 C++ ", "兼容模式"});
  if (!config) return 0;
  try {
    tarnwicket::validate_client_config(*config);
  } catch (const std::runtime_error& error) {
    contract_broken("loaded record fails its check", error.what());
  }
  const std::string manifest = tarnwicket::make_client_manifest(*config, "in/l.exe", "in/s.exe");
  const auto routes = config->routes.size();
  if (!manifest.ends_with('\n') ||
      static_cast<std::size_t>(std::count(manifest.begin(), manifest.end(), '\n')) != 20 + routes ||
      manifest.find("\nroutes=" + std::to_string(routes) + "\n") == std::string::npos ||
      !manifest.starts_with("product_name=" + config->product_name + "\nmode=")) {
    contract_broken("manifest shape", manifest);
  }
  return 0;
}
