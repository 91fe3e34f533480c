// The server's command line as a black box: exact output, error text and status.
// Running, stopping and start-up failures are covered by gateway_lifecycle_test.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/process.h"

namespace tarnwicket::test {
namespace {

// --help ends the scan at once, before any other argument or file is read.
TEST(Cli, HelpNamesEveryOption) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--help", "--bogus"},
                                               {"--validate", "--config", "x.ini", "--help"}}) {
    const RunResult result = run(server_binary(), args);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    for (const char* option : {"--config <path>", "--validate", "--help", "--version"}) {
      EXPECT_NE(result.out.find(option), std::string::npos) << option << result.out;
    }
  }
}

TEST(Cli, VersionEndsTheScan) {
  const RunResult result = run(server_binary(), {"--version", "--bogus"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "tarnwicket-server " TARNWICKET_VERSION "\n");
}

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
    std::string text;  // the path on success, else the failure message
  };
  const Case cases[] = {
      {"", {"--bogus", "--help"}, 1, "未知参数: --bogus"},
      {"", {"--validate", "--config"}, 1, "未知参数: --config"},
      {"", {""}, 1, "未知参数: "},
      {"", {"--config=server.ini"}, 1, "未知参数: --config=server.ini"},
      {"", {"--Validate"}, 1, "未知参数: --Validate"},
      {"", {"--config", "--validate"}, 1, "无法打开配置文件: --validate"},
      {"", {"--validate"}, 0, "server.ini"},
      {"", {"--validate", "--config", "sub/../sub/good.ini"}, 0, "sub/../sub/good.ini"},
      {"", {"--validate", "--validate", "--config", absolute}, 0, absolute},
      // The last --config wins; the first file is never read.
      {"", {"--validate", "--config", "none.ini", "--config", "sub/good.ini"}, 0, "sub/good.ini"},
      // Without arguments server.ini of the working directory is loaded and run.
      {"empty", {}, 1, "无法打开配置文件: server.ini"},
      {"bad", {}, 1, "至少需要一条启用的线路"},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(::testing::PrintToString(item.args));
    ProcessOptions options;
    options.workdir = dir.path() / item.workdir;
    const RunResult result = run(server_binary(), item.args, options);
    const bool ok = item.status == 0;
    EXPECT_EQ(result.status, item.status);
    EXPECT_EQ(result.out, ok ? "server config valid: " + item.text + "\n" : "");
    EXPECT_EQ(result.err, ok ? "" : "server startup failed: " + item.text + "\n");
  }
}

}  // namespace
}  // namespace tarnwicket::test
