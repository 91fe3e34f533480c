#pragma once

// Shared by the fuzz targets. The loaders read files, so each input goes to
// one file per fuzzing process. A broken property aborts with a message,
// which libFuzzer records as a crash.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace tarnwicket::fuzz {

[[noreturn]] void contract_broken(std::string_view what, std::string_view detail);

// The input file of this process, rewritten for every input, removed at exit.
const std::filesystem::path& write_input(std::string_view input);

// What every loader message keeps: one non-empty line that starts with one of
// `prefixes` or the INI reader's "配置第 N 行" (N a line of the input), valid
// UTF-8 when the input is, and no operating-system error text.
void check_message(std::string_view message, std::string_view input,
                   std::initializer_list<std::string_view> prefixes);

// The loaded record, or nothing after a runtime error whose message passes
// check_message; any other exception escapes and ends the run.
template <class Load>
auto load_input(const std::uint8_t* data, std::size_t size, Load load,
                std::initializer_list<std::string_view> prefixes)
    -> std::optional<decltype(load(std::filesystem::path()))> {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  try {
    return load(write_input(input));
  } catch (const std::runtime_error& error) {
    check_message(error.what(), input, prefixes);
    return std::nullopt;
  }
}

}  // namespace tarnwicket::fuzz
