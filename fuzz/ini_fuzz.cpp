// load_ini on arbitrary bytes: a document that keeps the syntax's promises,
// or a runtime error with one of the reader's line messages.

#include <stdexcept>

#include "config/ini.h"
#include "config/text.h"
#include "fuzz_support.h"

namespace {

using tarnwicket::fuzz::contract_broken;

// Names and values come out trimmed and single-line; keys and section names
// are never empty, a value never holds a comment byte, no section is empty.
void check_document(const tarnwicket::IniFile& doc) {
  auto clean = [](const std::string& text) {
    return tarnwicket::trim(text) == text && text.find('\n') == std::string::npos;
  };
  for (const auto& [section, keys] : doc.sections) {
    if (section.empty() || !clean(section)) contract_broken("section name", section);
    if (keys.empty()) contract_broken("empty section kept", section);
    for (const auto& [key, value] : keys) {
      if (key.empty() || !clean(key)) contract_broken("key", key);
      if (!clean(value) || value.find_first_of("#;") != std::string::npos) {
        contract_broken("value", value);
      }
      if (doc.get(section, key, "\x01") != value || !doc.has(section, key)) {
        contract_broken("lookup", key);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& path = tarnwicket::fuzz::write_input(data, size);
  try {
    check_document(tarnwicket::load_ini(path));
  } catch (const std::runtime_error& error) {
    if (!tarnwicket::fuzz::is_ini_message(error.what())) {
      contract_broken("unexpected message", error.what());
    }
  }
  return 0;
}
