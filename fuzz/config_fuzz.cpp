// The configuration readers on arbitrary bytes, one after the other on the same
// file: load_ini gives a document that keeps the syntax's promises, the server
// and client loaders a record that passes its own check again (and the client's
// manifest has its shape); or each gives one line of its own.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "config/client_config.h"
#include "config/client_manifest.h"
#include "config/ini.h"
#include "config/server_config.h"
#include "config/text.h"
#include "fuzz_support.h"

namespace tarnwicket::fuzz {
namespace {

using Prefixes = std::initializer_list<std::string_view>;

// The loaders read files: the input goes to an in-memory file of this process.
std::filesystem::path write_input(std::string_view text) {
  static const int fd = ::memfd_create("tarnwicket-fuzz", 0);
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text.data(), text.size(), 0) != std::ssize(text)) {
    contract_broken("harness", "cannot write the input file");
  }
  return "/proc/self/fd/" + std::to_string(fd);
}

bool valid_utf8(std::string_view text) {
  int more = 0;  // continuation bytes still due
  for (const char byte : text) {
    const auto c = static_cast<unsigned char>(byte);
    if (more > 0 ? (c & 0xC0) != 0x80 : c >= 0xF5 || (c >= 0x80 && c < 0xC2)) return false;
    more = more > 0 ? more - 1 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  }
  return more == 0;
}

// What every message keeps: one non-empty line that starts with one of `prefixes`
// or the INI reader's "配置第 N 行" (N a line of the input, the last one perhaps
// without its line feed), valid UTF-8 when the input is, and no operating-system
// error text that the input did not bring.
void check_message(const std::string& message, std::string_view input, Prefixes prefixes) {
  constexpr std::string_view kLine = "配置第 ";
  const long line = message.starts_with(kLine) ? std::atol(message.c_str() + kLine.size()) : 0;
  const bool known = line > 0 ? line <= std::count(input.begin(), input.end(), '\n') + 1
                              : std::any_of(prefixes.begin(), prefixes.end(),
                                            [&](auto p) { return message.starts_with(p); });
  if (!known || message.find('\n') != message.npos) contract_broken("unknown message", message);
  if (valid_utf8(input) && !valid_utf8(message)) contract_broken("invalid UTF-8", message);
  for (const int code : {ENOENT, EACCES, EISDIR, EIO, EBADF, ENOMEM, EINVAL}) {
    const std::string_view os = std::strerror(code);
    if (message.find(os) != message.npos && input.find(os) == input.npos) {
      contract_broken("operating-system error text", message);
    }
  }
}

// A record `load` reads from the file must pass `check`; a runtime error's message,
// check_message. Any other exception escapes and ends the run.
template <class Load, class Check>
void check_loader(Load load, Check check, std::string_view input, Prefixes prefixes) {
  bool loaded = false;
  try {
    const auto record = load(write_input(input));
    loaded = true;
    check(record);
  } catch (const std::runtime_error& error) {
    if (loaded) contract_broken("loaded record fails its check", error.what());
    check_message(error.what(), input, prefixes);
  }
}

// Names and values come out trimmed and single-line; keys and section names
// are never empty, a value never holds a comment byte, no section is empty.
void check_document(const IniFile& doc) {
  const auto clean = [](const std::string& s) { return trim(s) == s && s.find('\n') == s.npos; };
  for (const auto& [section, keys] : doc.sections) {
    if (section.empty() || !clean(section) || keys.empty()) contract_broken("section", section);
    for (const auto& [key, value] : keys) {
      if (key.empty() || !clean(key) || !clean(value) || value.find_first_of("#;") != value.npos) {
        contract_broken("key and value", key + "=" + value);
      }
    }
  }
}

// A record that passes its check, and its manifest: 20 lines plus one per route
// (loaded values hold no line feed), each ending in a line feed, with the route
// count on line 20.
void check_client(const ClientConfig& config) {
  validate_client_config(config);
  const std::string text = make_client_manifest(config, "in/l.exe", "in/s.exe");
  if (!text.ends_with('\n') ||
      std::count(text.begin(), text.end(), '\n') != 20 + std::ssize(config.routes) ||
      text.find("\nroutes=" + std::to_string(config.routes.size()) + "\n") == text.npos ||
      !text.starts_with("product_name=" + config.product_name + "\nmode=")) {
    contract_broken("manifest shape", text);
  }
}

}  // namespace
}  // namespace tarnwicket::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwicket;
  using namespace tarnwicket::fuzz;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check_loader(load_ini, check_document, input, {});
  check_loader(
      load_server_config, validate_server_config, input,
      {"线路 ", "启用的线路 ", "至少需要", "server.", "tcp 监听端口重复: ", "udp 监听端口重复: "});
  check_loader(load_client_config, check_client, input,
               {"客户端", "client.", "原生 C++ ", "兼容模式"});
  return 0;
}
