#pragma once

// Shared by the fuzz targets: the loaders read files, so each input is
// written to one temporary file per fuzzing process; a broken contract ends
// the run with a message, which libFuzzer records as a crash; and the
// loaders' messages, against which every runtime error is checked.

#include <cstddef>
#include <cstdint>
#include <filesystem>
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

}  // namespace tarnwicket::fuzz
