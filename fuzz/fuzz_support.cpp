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
  int more = 0;  // continuation bytes still due
  for (const char byte : text) {
    const auto c = static_cast<unsigned char>(byte);
    if (more > 0 ? (c & 0xC0) != 0x80 : c >= 0xF5 || (c >= 0x80 && c < 0xC2)) return false;
    more = more > 0 ? more - 1 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  }
  return more == 0;
}

}  // namespace

void contract_broken(std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "contract broken: %.*s: %.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

const std::filesystem::path& write_input(std::string_view input) {
  struct File {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("tarnwicket-fuzz-" + std::to_string(::getpid()) + ".ini");
    ~File() { ::unlink(path.c_str()); }
  };
  static const File file;
  std::ofstream out(file.path, std::ios::binary | std::ios::trunc);
  if (!out.write(input.data(), static_cast<std::streamsize>(input.size())).flush()) {
    contract_broken("harness", "cannot write the input file");
  }
  return file.path;
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
