// tarnwicket-manifest: writes the manifest of a client packaging configuration
// for packaging scripts. Same conventions as the server: long options only,
// the value is the next argument, one failure line on standard error.

#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/client_config.h"
#include "config/client_manifest.h"
#include "config/ini.h"

namespace tarnwicket {
namespace {

constexpr const char* kHelp =
    "Tarnwicket.Manifest\n"
    "  --config <path>    使用客户端打包 INI 配置（必需）\n"
    "  --launcher <path>  源登录器文件（必需）\n"
    "  --shield <path>    源盾程序文件（必需）\n"
    "  --output <file>    把清单写入文件，缺省写到标准输出\n"
    "  --help             显示帮助\n";

struct Options {
  bool help = false;
  std::optional<std::string> config;
  std::optional<std::string> launcher;
  std::optional<std::string> shield;
  std::optional<std::string> output;
};

const std::string& required(const std::optional<std::string>& value, const char* option) {
  if (!value) {
    throw std::runtime_error(std::string("缺少参数: ") + option);
  }
  return *value;
}

// The last occurrence of an option wins. An option without a value is an
// unknown argument, as in the server.
Options parse_args(const std::vector<std::string>& args) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help") {
      options.help = true;
      return options;
    }
    std::optional<std::string>* slot = nullptr;
    if (arg == "--config") {
      slot = &options.config;
    } else if (arg == "--launcher") {
      slot = &options.launcher;
    } else if (arg == "--shield") {
      slot = &options.shield;
    } else if (arg == "--output") {
      slot = &options.output;
    }
    if (slot == nullptr || i + 1 == args.size()) {
      throw std::runtime_error("未知参数: " + arg);
    }
    *slot = args[++i];
  }
  required(options.config, "--config");
  required(options.launcher, "--launcher");
  required(options.shield, "--shield");
  return options;
}

// The manifest is complete before anything is written, so a failure leaves
// standard output and the output file untouched.
void run(const std::vector<std::string>& args) {
  const Options options = parse_args(args);
  if (options.help) {
    std::cout << kHelp << std::flush;
    return;
  }
  const ClientConfig config = load_client_config(*options.config);
  const std::string manifest = make_client_manifest(config, *options.launcher, *options.shield);
  if (options.output) {
    save_text(*options.output, manifest);
    return;
  }
  std::cout << manifest << std::flush;
  if (!std::cout) {
    throw std::runtime_error("无法写入标准输出");
  }
}

}  // namespace
}  // namespace tarnwicket

int main(int argc, char** argv) {
  try {
    tarnwicket::run(std::vector<std::string>(argv + 1, argv + argc));
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "manifest failed: " << error.what() << '\n';
    return 1;
  }
}
