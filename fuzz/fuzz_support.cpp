#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

namespace tarnwicket::fuzz {

namespace {

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool is_one_of(std::string_view message, std::initializer_list<std::string_view> texts) {
  for (std::string_view text : texts) {
    if (message == text) return true;
  }
  return false;
}

// prefix + anything (a route name, possibly empty) + one of the suffixes.
bool is_framed(std::string_view message, std::string_view prefix,
               std::initializer_list<std::string_view> suffixes, bool may_be_cut) {
  if (!starts_with(message, prefix)) return false;
  if (may_be_cut) return true;
  for (std::string_view suffix : suffixes) {
    if (message.size() >= prefix.size() + suffix.size() && ends_with(message, suffix)) return true;
  }
  return false;
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

const std::filesystem::path& write_input(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path path = [] {
    auto p = std::filesystem::temp_directory_path() /
             ("tarnwicket-fuzz-" + std::to_string(::getpid()) + ".ini");
    input_path_text() = p.string();
    std::atexit([] { ::unlink(input_path_text().c_str()); });
    return p;
  }();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) contract_broken("harness", "cannot write the input file");
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) contract_broken("harness", "cannot write the input file");
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return path;
}

bool is_ini_message(std::string_view message) {
  constexpr std::string_view kPrefix = "配置第 ";
  if (!starts_with(message, kPrefix)) return false;
  for (std::string_view rest : {" 行的 section 为空", " 行缺少 '='", " 行的 key 为空"}) {
    if (ends_with(message, rest) && message.size() > kPrefix.size() + rest.size() &&
        all_digits(message.substr(kPrefix.size(), message.size() - kPrefix.size() - rest.size()))) {
      return true;
    }
  }
  return false;
}

bool has_nul(const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) return true;
  }
  return false;
}

bool is_server_message(std::string_view message, bool may_be_cut) {
  if (is_ini_message(message)) return true;
  if (is_one_of(message, {"server.listen_address 不能为空",
                          "server.connection_timeout_ms 必须在 100 到 300000 之间",
                          "server.udp_idle_timeout_ms 必须在 1000 到 3600000 之间",
                          "启用的线路 name 不能为空", "至少需要一条启用的线路"})) {
    return true;
  }
  if (is_framed(message, "线路 ",
                {" 的 protocol 必须是 tcp、udp 或 both", " 的端口必须在 1 到 65535 之间",
                 " 的 target_host 不能为空", " 的 max_connections 超出范围"},
                may_be_cut)) {
    return true;
  }
  for (std::string_view protocol : {"tcp", "udp"}) {
    const std::string prefix = std::string(protocol) + " 监听端口重复: ";
    if (starts_with(message, prefix) && all_digits(message.substr(prefix.size()))) return true;
  }
  return false;
}

bool is_client_message(std::string_view message, bool may_be_cut) {
  if (is_ini_message(message)) return true;
  if (is_one_of(
          message,
          {"客户端产品名、版本、公司名和文件描述不能为空", "客户端文件名和 PE 标识不能为空",
           "原生 C++ 客户端必须启用内置 Agent", "兼容模式必须配置登录器和盾程序文件名",
           "client.shield_wait_ms 必须在 0 到 300000 之间",
           "client.launch_order 只能是 shield,launcher 或 launcher,shield",
           "client.nodes 至少需要一个节点", "客户端至少需要一条启用的线路",
           "客户端线路 name 和 service_id 不能为空", "客户端线路端口必须在 1 到 65535 之间"})) {
    return true;
  }
  return is_framed(message, "客户端线路 ", {" 的 protocol 必须是 tcp、udp 或 both"}, may_be_cut);
}

}  // namespace tarnwicket::fuzz
