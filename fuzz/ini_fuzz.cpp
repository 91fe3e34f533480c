// load_ini on arbitrary bytes: a document that keeps the syntax's promises,
// or one line of the reader's.

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
    if (section.empty() || !clean(section) || keys.empty()) contract_broken("section", section);
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
  const auto doc = tarnwicket::fuzz::load_input(data, size, tarnwicket::load_ini, {});
  if (doc) check_document(*doc);
  return 0;
}
