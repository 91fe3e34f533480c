// Both binaries as black boxes: their command lines, exact output, error
// text and status, and the configuration files they cannot use. Running and
// stopping the server is gateway_lifecycle_test's.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "support/process.h"

namespace tarnwicket::test {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

RunResult run_server(const fs::path& config) {
  return run(server_binary(), {"--config", config.string()}, {}, 60s);
}

// Status, standard output and standard error in one text.
std::string outcome(const RunResult& r) {
  return std::to_string(r.status) + "|" + r.out + "|" + r.err;
}

// Status 1, nothing on stdout, and the line `err` on stderr; an `err` that ends in
// "第 " stands for any line number and message of the INI reader.
void expect_failure(const RunResult& r, const std::string& err) {
  const bool any_line =
      err.ends_with("第 ") && r.err.starts_with(err) && r.err.find('\n') == r.err.size() - 1;
  EXPECT_EQ(outcome(r), "1||" + (any_line ? r.err : err + "\n"));
}

// --help ends the scan at once, before any other argument or file is read.
TEST(Cli, HelpNamesEveryOption) {
  const Args server = {"--config <path>", "--validate", "--help", "--version"};
  const std::tuple<fs::path, Args, Args> cases[] = {
      {server_binary(), {"--help", "--bogus"}, server},
      {server_binary(), {"--validate", "--config", "x.ini", "--help"}, server},
      {manifest_binary(),
       {"--help", "--bogus"},
       {"--config <path>", "--launcher <path>", "--shield <path>", "--output <file>", "--help"}},
  };
  for (const auto& [binary, args, options] : cases) {
    SCOPED_TRACE(binary.filename().string() + " " + ::testing::PrintToString(args));
    const RunResult result = run(binary, args);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    for (const auto& option : options) {
      EXPECT_NE(result.out.find(option), std::string::npos) << option << result.out;
    }
  }
}

TEST(Cli, VersionEndsTheScan) {
  EXPECT_EQ(outcome(run(server_binary(), {"--version", "--bogus"})),
            "0|tarnwicket-server " TARNWICKET_VERSION "\n|");
}

TEST(Cli, ScansTheCommandLine) {
  TempDir dir;
  const std::string route =
      "[route:a]\nlisten_port = 7000\ntarget_host = 127.0.0.1\ntarget_port = 9\n";
  dir.write("server.ini", route);
  dir.write("sub/good.ini", route);
  dir.write("bad/server.ini", "[server]\nlisten_address = 127.0.0.1\n");
  for (const std::string address : {"localhost", "[::1]", "127.1"}) {
    dir.write("v4/" + address, "[server]\nlisten_address = " + address + "\n" + route);
  }
  fs::create_directory(dir.path() / "empty");
  const std::string absolute = (dir.path() / "sub" / "good.ini").string();
  struct Case {
    const char* workdir;  // below dir; none of the cases may start the server
    Args args;
    int status;
    std::string text;  // the path on success, else the failure message
  };
  const std::string v4 = "listen_address 目前只支持 IPv4 地址: ";
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
      {"v4", {"--config", "localhost"}, 1, v4 + "localhost"},
      {"v4", {"--config", "[::1]"}, 1, v4 + "[::1]"},
      {"v4", {"--config", "127.1"}, 1, v4 + "127.1"},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(::testing::PrintToString(item.args));
    ProcessOptions options;
    options.workdir = dir.path() / item.workdir;
    EXPECT_EQ(outcome(run(server_binary(), item.args, options)),
              item.status == 0 ? "0|server config valid: " + item.text + "\n|"
                               : "1||server startup failed: " + item.text + "\n");
  }
}

// Both binaries read the file with the same reader and say the same.
TEST(BadConfig, DamagedAndUnreadableFilesFailWithTheReadersMessage) {
  TempDir dir;
  std::mt19937 gen(2024);
  std::string garbage(1 << 20, '\0');
  for (char& c : garbage) c = static_cast<char>(gen());
  const std::string header = "[server]\nlisten_address = 127.0.0.1\n";
  const fs::path subdir = dir.path() / "conf.d";
  fs::create_directory(subdir);
  const fs::path missing = dir.path() / "missing.ini";
  const std::pair<fs::path, std::string> cases[] = {
      // A crash during a write can leave a block of zero bytes behind.
      {dir.write("zero.ini", header + std::string(4096, '\0') + "\n[route:a]\n"),
       "配置第 3 行缺少 '='"},
      {dir.write("nul.ini", std::string("\0[server]\n", 10)), "配置第 1 行缺少 '='"},
      {dir.write("line.ini", header + std::string(16 << 20, 'x') + "\n"), "配置第 3 行缺少 '='"},
      {dir.write("header.ini", "[" + std::string(16 << 20, ' ') + "]\n"),
       "配置第 1 行的 section 为空"},
      {dir.write("small.ini", garbage.substr(0, 1 << 10)), "配置第 "},
      {dir.write("large.ini", garbage), "配置第 "},
      {subdir, "无法打开配置文件: " + subdir.string()},
      {missing, "无法打开配置文件: " + missing.string()},
      // It opens, but reading at offset 0 fails with an I/O error: a failed
      // read must not pass for the end of an empty file.
      {"/proc/self/mem", "无法打开配置文件: /proc/self/mem"},
  };
  for (const auto& [path, message] : cases) {
    SCOPED_TRACE(path);
    expect_failure(run_server(path), "server startup failed: " + message);
    expect_failure(run(manifest_binary(),
                       {"--config", path.string(), "--launcher", "l.exe", "--shield", "s.exe"}),
                   "manifest failed: " + message);
  }
}

TEST(BadConfig, HugeFilesAreReadToTheEnd) {
  TempDir dir;
  // 100 MB of well-formed lines: read whole, then refused for having no route.
  const auto big = dir.path() / "big.ini";
  {
    const std::string line = "key = " + std::string(1017, 'v') + "\n";  // 1 KiB
    std::ofstream out(big, std::ios::binary);
    for (int i = 0; i < 100 * 1024; ++i) out << line;
    ASSERT_TRUE(out.flush());
  }
  expect_failure(run_server(big), "server startup failed: 至少需要一条启用的线路");
  // A route name of 1 MB comes back whole in the message.
  const std::string name(1 << 20, 'r');
  expect_failure(run_server(dir.write("name.ini", "[route:" + name + "]\nlisten_port = 0\n")),
                 "server startup failed: 线路 " + name + " 的端口必须在 1 到 65535 之间");
}

TEST(BadConfig, FileWithoutReadPermission) {
  TempDir dir;
  const auto path = dir.write("secret.ini", "[route:a]\n");
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_exec);
  fs::permissions(path, fs::perms::none);
  const std::string expected = "server startup failed: 无法打开配置文件: " + path.string();
  if (::geteuid() != 0) return expect_failure(run_server(path), expected);
  // Root reads any file whatever its mode: run the server as nobody instead.
  if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "as root, mode 000 stops nothing";
  expect_failure(run("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                          server_binary().string(), "--config", path.string()}),
                 expected);
}

const std::string kExample = (source_dir() / "examples" / "client.ini").string();

// The last occurrence wins; an option's value is taken whatever it looks like.
TEST(ManifestTool, WritesToStandardOutputOrFile) {
  TempDir dir;
  const fs::path output = dir.path() / "out" / "sub" / "manifest.txt";
  const Args args = {
      "--shield",   "x",     "--config",   "missing.ini",     "--config", kExample,
      "--launcher", "--odd", "--launcher", "in/launcher.exe", "--shield", "in/shield.exe"};
  const std::string golden = read_file(source_dir() / "tests" / "data" / "client.manifest");
  for (const bool to_file : {false, true}) {
    Args all = args;
    if (to_file) all.insert(all.end(), {"--output", output.string()});
    EXPECT_EQ(outcome(run(manifest_binary(), all)), "0|" + (to_file ? "" : golden) + "|");
    EXPECT_EQ(read_file(output), to_file ? golden : "");  // the first run makes no file
  }
}

TEST(ManifestTool, FailuresWriteNothing) {
  TempDir dir;
  const std::string invalid = dir.write("invalid.ini", "[client]\nnodes =\n").string();
  const std::string missing = (dir.path() / "missing.ini").string();
  const std::string output = dir.write("manifest.txt", "old").string();
  const std::pair<Args, std::string> cases[] = {
      {{"--config", invalid, "--launcher", "l", "--shield", "s"}, "client.nodes 至少需要一个节点"},
      {{"--config", missing, "--launcher", "l", "--shield", "s"}, "无法打开配置文件: " + missing},
      {{"--config=" + kExample, "--launcher", "l", "--shield", "s"},
       "未知参数: --config=" + kExample},
      {{"--config", kExample, "", "--help"}, "未知参数: "},
      {{"--launcher", "l", "--shield", "s", "--config"}, "未知参数: --config"},
      {{"--launcher", "l", "--shield", "s"}, "缺少参数: --config"},
      {{"--config", kExample, "--shield", "s"}, "缺少参数: --launcher"},
      {{"--config", kExample, "--launcher", "l"}, "缺少参数: --shield"},
      {{"--config", kExample, "--launcher", "l", "--shield", "s", "--output", dir.path().string()},
       "无法写入文件: " + dir.path().string()},
  };
  for (const auto& [args, message] : cases) {
    for (const bool to_file : {false, true}) {
      SCOPED_TRACE(message + (to_file ? " (to a file)" : ""));
      Args all = args;
      if (to_file) all.insert(all.begin(), {"--output", output});
      expect_failure(run(manifest_binary(), all), "manifest failed: " + message);
      EXPECT_EQ(read_file(output), "old");
    }
  }
}

}  // namespace
}  // namespace tarnwicket::test
