#pragma once

// Shared by the fuzz targets: the loaders read files, so each input is
// written to one temporary file per fuzzing process; a broken contract ends
// the run with a message, which libFuzzer records as a crash; and the
// loaders' messages, against which every runtime error is checked.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace tarnwicket::fuzz {

[[noreturn]] void contract_broken(std::string_view what, std::string_view detail);

// The input file of this process, rewritten for every input, removed at exit.
const std::filesystem::path& write_input(const std::uint8_t* data, std::size_t size);

// "配置第 N 行..." with N a line number: the INI reader's syntax errors.
bool is_ini_message(std::string_view message);
// The INI messages and every check message of the server configuration. A
// route name holding a NUL byte ends what() early, so when the input has
// one (`may_be_cut`), a message that names a route is checked up to the name.
bool is_server_message(std::string_view message, bool may_be_cut);
// The INI messages and every check message of the client configuration.
bool is_client_message(std::string_view message, bool may_be_cut);

bool has_nul(const std::uint8_t* data, std::size_t size);

// Loads the input with `load`: a record, or nothing after a runtime error that
// `is_message` accepts; any other error breaks the contract.
template <class Load, class IsMessage>
auto load_input(const std::uint8_t* data, std::size_t size, Load load, IsMessage is_message)
    -> std::optional<decltype(load(std::filesystem::path()))> {
  const auto& path = write_input(data, size);
  try {
    return load(path);
  } catch (const std::runtime_error& error) {
    if (!is_message(error.what(), has_nul(data, size))) {
      contract_broken("unexpected message", error.what());
    }
    return std::nullopt;
  }
}

}  // namespace tarnwicket::fuzz
