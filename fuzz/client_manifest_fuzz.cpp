// A client configuration read from arbitrary bytes and turned into the
// manifest: one line per field and per route, each ending in a line feed.

#include <stdexcept>
#include <string>

#include "config/client_config.h"
#include "config/client_manifest.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwicket::fuzz;
  const auto config = load_input(data, size, tarnwicket::load_client_config, is_client_message);
  if (!config) return 0;
  const std::string manifest =
      tarnwicket::make_client_manifest(*config, "in/launcher.exe", "in/shield.exe");
  // Loaded values never hold a line feed, so the line count is fixed by the
  // route count; a value that broke a line would show here.
  std::size_t lines = 0;
  for (char c : manifest) lines += c == '\n' ? 1 : 0;
  if (manifest.empty() || manifest.back() != '\n' || lines != 20 + config->routes.size()) {
    contract_broken("manifest shape", manifest);
  }
  if (manifest.find("\nroutes=" + std::to_string(config->routes.size()) + "\n") ==
      std::string::npos) {
    contract_broken("route count line", manifest);
  }
  if (manifest.rfind("product_name=" + config->product_name + "\nmode=", 0) != 0) {
    contract_broken("first line", manifest);
  }
  return 0;
}
