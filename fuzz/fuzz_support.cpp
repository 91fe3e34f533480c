#include "fuzz_support.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace tarnwicket::fuzz {
namespace {

bool valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t n = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2 : lead >> 4 == 14 ? 3 : 4;
    if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4 || i + n > text.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

std::string& input_path_text() {
  static std::string path;
  return path;
}

}  // namespace

void contract_broken(std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "contract broken: %.*s: %.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

const std::filesystem::path& write_input(std::string_view input) {
  static const std::filesystem::path path = [] {
    auto p = std::filesystem::temp_directory_path() /
             ("tarnwicket-fuzz-" + std::to_string(::getpid()) + ".ini");
    input_path_text() = p.string();
    std::atexit([] { ::unlink(input_path_text().c_str()); });
    return p;
  }();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.write(input.data(), static_cast<std::streamsize>(input.size())).flush()) {
    contract_broken("harness", "cannot write the input file");
  }
  return path;
}

void check_message(std::string_view message, std::string_view input,
                   std::initializer_list<std::string_view> prefixes) {
  if (message.empty() || message.find('\n') != std::string_view::npos) {
    contract_broken("not one line", message);
  }
  bool known = false;
  for (std::string_view prefix : prefixes) known = known || message.starts_with(prefix);
  constexpr std::string_view kLine = "配置第 ";
  if (message.starts_with(kLine)) {
    // Lines are counted from 1; the last one may lack its line feed.
    const long line = std::strtol(std::string(message.substr(kLine.size())).c_str(), nullptr, 10);
    known = line >= 1 && line <= std::count(input.begin(), input.end(), '\n') + 1;
  }
  if (!known) contract_broken("unknown message", message);
  if (valid_utf8(input) && !valid_utf8(message)) contract_broken("invalid UTF-8", message);
  for (int code : {ENOENT, EACCES, EISDIR, EIO, EBADF, ENOMEM, EINVAL}) {
    const std::string_view os = std::strerror(code);
    if (message.find(os) != message.npos && input.find(os) == input.npos) {
      contract_broken("system error text", message);
    }
  }
}

}  // namespace tarnwicket::fuzz
