// The server process as a black box: exact output, error text and status.

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "support/net.h"
#include "support/process.h"

namespace tarnwicket::test {
namespace {

const std::string kHelp =
    "Tarnwicket.Server\n"
    "  --config <path>  使用服务端 INI 配置\n"
    "  --validate       只校验配置，不监听端口\n"
    "  --help           显示帮助\n";

std::string failure(const std::string& message) {
  return "server startup failed: " + message + "\n";
}

struct Route {
  std::string name;
  int port;
};

std::string server_ini(const std::vector<Route>& routes,
                       const std::string& listen_address = "127.0.0.1") {
  std::string text = "[server]\nlisten_address = " + listen_address + "\n";
  for (const auto& route : routes) {
    text += "[route:" + route.name +
            "]\nprotocol = tcp\nlisten_port = " + std::to_string(route.port) +
            "\ntarget_host = 127.0.0.1\ntarget_port = 9\n";
  }
  return text;
}

class Cli : public ::testing::Test {
 protected:
  RunResult run_here(std::vector<std::string> args) {
    ProcessOptions options;
    options.workdir = dir_.path();
    return run(server_binary(), std::move(args), options);
  }
  TempDir dir_;
};

TEST_F(Cli, HelpEndsTheScanWithoutReadingAnyFile) {
  const std::vector<std::vector<std::string>> cases = {
      {"--help"},
      {"--help", "--bogus"},
      {"--validate", "--help"},
      {"--config", "missing.ini", "--help"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult result = run_here(args);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kHelp);
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(Cli, BadArgumentsAndMissingFilesFailWithTheExactLine) {
  dir_.write("server.ini", server_ini({{"a", 7000}}));
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus"}, "未知参数: --bogus"},
      {{"--bogus", "--help"}, "未知参数: --bogus"},
      {{"--config"}, "未知参数: --config"},
      {{"--validate", "--config"}, "未知参数: --config"},
      {{""}, "未知参数: "},
      {{"--config=server.ini"}, "未知参数: --config=server.ini"},
      {{"--Validate"}, "未知参数: --Validate"},
      {{"-h"}, "未知参数: -h"},
      // The value of --config is taken whatever it looks like.
      {{"--config", "--validate"}, "无法打开配置文件: --validate"},
      {{"--validate", "--config", "missing.ini"}, "无法打开配置文件: missing.ini"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult result = run_here(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, failure(message));
  }
}

TEST_F(Cli, ValidateNamesThePathAsGiven) {
  dir_.write("server.ini", server_ini({{"a", 7000}}));
  dir_.write("sub/good.ini", server_ini({{"b", 7001}}));
  const std::string absolute = (dir_.path() / "sub" / "good.ini").string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--validate"}, "server.ini"},
      {{"--validate", "--config", "sub/../sub/good.ini"}, "sub/../sub/good.ini"},
      {{"--validate", "--validate", "--config", absolute}, absolute},
      // The last --config wins; the first file is never read.
      {{"--validate", "--config", "missing.ini", "--config", "sub/good.ini"}, "sub/good.ini"},
  };
  for (const auto& [args, path] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult result = run_here(args);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "server config valid: " + path + "\n");
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(Cli, WithoutArgumentsServerIniOfTheWorkingDirectoryIsLoaded) {
  RunResult result = run_here({});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, failure("无法打开配置文件: server.ini"));

  dir_.write("server.ini", "[server]\nlisten_address = 127.0.0.1\n");
  result = run_here({});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, failure("至少需要一条启用的线路"));
}

TEST_F(Cli, HostNameListenAddressPassesValidationButNotStart) {
  dir_.write("server.ini", server_ini({{"a", free_port()}}, "localhost"));
  EXPECT_EQ(run_here({"--validate"}).status, 0);
  const RunResult result = run_here({});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, failure("listen_address 目前只支持 IPv4 地址: localhost"));
}

TEST_F(Cli, PortTakenByAnotherSocketStopsWhatWasOpened) {
  TcpEchoServer holder;  // keeps its port busy
  dir_.write("server.ini", server_ini({{"a", free_port()}, {"b", holder.port()}}));
  const RunResult result = run_here({});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("server route a [tcp] listening"), std::string::npos);
  EXPECT_NE(result.out.find("[INFO] server stopped\n"), std::string::npos);
  EXPECT_EQ(result.out.find("server started"), std::string::npos);
  EXPECT_EQ(result.err, failure("TCP 监听失败: b"));
}

class RunMode : public ::testing::TestWithParam<std::vector<int>> {};

TEST_P(RunMode, StopSignalsEndTheServerCleanlyOnce) {
  TempDir dir;
  const auto config = dir.write("server.ini", server_ini({{"a", free_port()}}));
  Process server(server_binary(), {"--config", config.string()});
  ASSERT_TRUE(server.wait_for_line("server started; press Ctrl+C to stop"));
  for (int signo : GetParam()) server.signal(signo);
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_EQ(server.count_lines("server stopped"), 1u);
  EXPECT_EQ(server.stderr_text(), "");
  const auto lines = server.stdout_lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("[INFO] server route a [tcp] listening 127.0.0.1:"), std::string::npos);
  EXPECT_EQ(lines[1], "server started; press Ctrl+C to stop");
}

INSTANTIATE_TEST_SUITE_P(Signals, RunMode,
                         ::testing::Values(std::vector<int>{SIGINT}, std::vector<int>{SIGTERM},
                                           std::vector<int>{SIGTERM, SIGINT, SIGTERM}));

}  // namespace
}  // namespace tarnwicket::test
