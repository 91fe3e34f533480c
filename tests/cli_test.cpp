// The server's command line as a black box: exact output, error text and status.
// Running, stopping and start-up failures are covered by gateway_lifecycle_test.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/process.h"

namespace tarnwicket::test {
namespace {

const std::string kHelp =
    "Tarnwicket.Server\n"
    "  --config <path>  使用服务端 INI 配置\n"
    "  --validate       只校验配置，不监听端口\n"
    "  --help           显示帮助\n"
    "  --version        显示版本\n";

std::string failure(const std::string& message) {
  return "server startup failed: " + message + "\n";
}

std::string valid(const std::string& path) { return "server config valid: " + path + "\n"; }

TEST(Cli, ScansTheCommandLine) {
  TempDir dir;
  const std::string route =
      "[route:a]\nlisten_port = 7000\ntarget_host = 127.0.0.1\ntarget_port = 9\n";
  dir.write("server.ini", route);
  dir.write("sub/good.ini", route);
  dir.write("bad/server.ini", "[server]\nlisten_address = 127.0.0.1\n");
  std::filesystem::create_directory(dir.path() / "empty");
  const std::string absolute = (dir.path() / "sub" / "good.ini").string();
  struct Case {
    const char* workdir;  // below dir; none of the cases may start the server
    std::vector<std::string> args;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      // --help ends the scan at once, before any file is read.
      {"", {"--help", "--bogus"}, 0, kHelp, ""},
      {"", {"--validate", "--config", "missing.ini", "--help"}, 0, kHelp, ""},
      {"", {"--bogus", "--help"}, 1, "", failure("未知参数: --bogus")},
      {"", {"--version", "--bogus"}, 0, "tarnwicket-server " TARNWICKET_VERSION "\n", ""},
      {"", {"--validate", "--config"}, 1, "", failure("未知参数: --config")},
      {"", {""}, 1, "", failure("未知参数: ")},
      {"", {"--config=server.ini"}, 1, "", failure("未知参数: --config=server.ini")},
      {"", {"--Validate"}, 1, "", failure("未知参数: --Validate")},
      {"", {"--config", "--validate"}, 1, "", failure("无法打开配置文件: --validate")},
      {"", {"--validate"}, 0, valid("server.ini"), ""},
      {"", {"--validate", "--config", "sub/../sub/good.ini"}, 0, valid("sub/../sub/good.ini"), ""},
      {"", {"--validate", "--validate", "--config", absolute}, 0, valid(absolute), ""},
      // The last --config wins; the first file is never read.
      {"",
       {"--validate", "--config", "missing.ini", "--config", "sub/good.ini"},
       0,
       valid("sub/good.ini"),
       ""},
      // Without arguments server.ini of the working directory is loaded and run.
      {"empty", {}, 1, "", failure("无法打开配置文件: server.ini")},
      {"bad", {}, 1, "", failure("至少需要一条启用的线路")},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(::testing::PrintToString(item.args));
    ProcessOptions options;
    options.workdir = dir.path() / item.workdir;
    const RunResult result = run(server_binary(), item.args, options);
    EXPECT_EQ(result.status, item.status);
    EXPECT_EQ(result.out, item.out);
    EXPECT_EQ(result.err, item.err);
  }
}

}  // namespace
}  // namespace tarnwicket::test
