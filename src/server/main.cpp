// tarnwicket-server: loads the server configuration and runs the gateway
// until SIGINT or SIGTERM, reloading it on SIGHUP and draining on SIGQUIT
// (or only checks the file with --validate, or lists what it says in vain
// with --lint).

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

#include "config/ini.h"
#include "config/server_config.h"
#include "server/lint.h"
#include "server/run_loop.h"

namespace {

constexpr std::string_view kHelpText =
    "Tarnwicket.Server\n"
    "  --config <path>  使用服务端 INI 配置\n"
    "  --validate       只校验配置，不监听端口\n"
    "  --help           显示帮助\n";

struct Options {
  std::string config_path = "server.ini";
  bool validate_only = false;
  bool lint = false;  // takes precedence over validate_only
  bool show_help = false;
  bool show_version = false;
};

void write_all(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// Options match whole arguments exactly; --help and --version end the scan at once.
Options scan_arguments(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      options.show_help = true;
      return options;
    }
    if (arg == "--version") {
      options.show_version = true;
      return options;
    }
    if (arg == "--validate") {
      options.validate_only = true;
    } else if (arg == "--lint") {
      options.lint = true;
    } else if (arg == "--config" && i + 1 < argc) {
      options.config_path = argv[++i];
    } else {
      throw std::runtime_error("未知参数: " + std::string(arg));
    }
  }
  return options;
}

// Every accepted connection needs descriptors; the default soft limit is far
// below what the default route limits allow. Failure leaves the limit as is.
void raise_open_file_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Before the configuration is read: a control signal that comes meanwhile
  // waits for the run loop. The paths that only print exit with any such
  // signal still pending, which goes with the process.
  tarnwicket::block_control_signals();
  // A peer or a stdout reader that has gone away must never end the process.
  std::signal(SIGPIPE, SIG_IGN);
  raise_open_file_limit();
  try {
    const Options options = scan_arguments(argc, argv);
    if (options.show_help) {
      write_all(stdout, kHelpText);
      return 0;
    }
    if (options.show_version) {
      write_all(stdout, "tarnwicket-server " TARNWICKET_VERSION "\n");
      return 0;
    }
    const std::string valid = "server config valid: " + options.config_path + "\n";
    if (options.lint) {
      const tarnwicket::IniFile ini = tarnwicket::load_ini(options.config_path);
      const auto config = tarnwicket::read_server_config(ini);
      const std::string findings = tarnwicket::lint_server_config(ini, config, options.config_path);
      write_all(stdout, findings.empty() ? valid : findings);
      return findings.empty() ? 0 : 1;
    }
    const tarnwicket::ServerConfig config = tarnwicket::load_server_config(options.config_path);
    if (options.validate_only) {
      write_all(stdout, valid);
      return 0;
    }
    tarnwicket::run_server(config, options.config_path);
    return 0;
  } catch (const std::exception& error) {
    write_all(stderr, std::string("server startup failed: ") + error.what() + "\n");
    return 1;
  }
}
