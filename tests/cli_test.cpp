// Both binaries as black boxes: their command lines, exact output, error
// text and status, and the configuration files they cannot use. Running and
// stopping the server is gateway_lifecycle_test's.

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "config/text.h"
#include "support/process.h"

namespace tarnwicket::test {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

RunResult server(Args args, ProcessOptions o = {}) { return run(server_binary(), args, o, 60s); }
RunResult manifest(Args args) { return run(manifest_binary(), args); }

// Status, standard output and standard error in one text.
auto outcome(const RunResult& r) { return std::to_string(r.status) + "|" + r.out + "|" + r.err; }

// The outcomes of a failure (status 1, the one line on stderr) and of --validate.
std::string failed(const std::string& line) { return "1||" + line + "\n"; }
std::string startup_failed(const std::string& m) { return failed("server startup failed: " + m); }
std::string valid(const std::string& path) { return "0|server config valid: " + path + "\n|"; }

TEST(Cli, ScansTheCommandLine) {
  TempDir dir;
  const std::string route = "[route:a]\nlisten_port = 7000\ntarget_host = h\ntarget_port = 9\n";
  dir.write("sub/good.ini", route);
  // Listen addresses that are no IPv4 literal as inet_pton reads it: none starts the server.
  for (const std::string address : {"localhost", "[::1]", "127.1"})
    dir.write(address, "[server]\nlisten_address = " + address + "\n" + route);
  fs::copy_file(dir.path() / "localhost", dir.path() / "server.ini");
  // --help and --version end the scan at once, before any other argument or file is read.
  for (const RunResult& r : {server({"--help", "--bogus"}), manifest({"--help", "--bogus"}),
                             server({"--validate", "--config", "x.ini", "--help"})}) {
    EXPECT_EQ(r.status, 0) << outcome(r);
    EXPECT_EQ(r.err, "") << outcome(r);
    EXPECT_NE(r.out.find("--help"), r.out.npos) << outcome(r);
  }
  for (const TableRow& row : table("cli_cases.txt", {{"@VERSION@", TARNWICKET_VERSION}})) {
    const RunResult r = server(split(row.input, ' '), {.workdir = dir.path()});
    EXPECT_EQ(outcome(r), unescape(row.expected)) << row.where;
  }
}

// The cases of tests/data/lint_cases.txt: "=== OUTCOME", then the file.
TEST(Lint, ListsWhatAValidFileSaysInVain) {
  TempDir dir;
  for (const auto& [where, text, expected] : cases("lint_cases.txt")) {
    dir.write("lint.ini", text);
    const RunResult r = server({"--config", "lint.ini", "--lint"}, {.workdir = dir.path()});
    EXPECT_EQ(outcome(r), unescape(expected)) << where;
  }
}

// The server configurations the project ships (the client ones are the manifest tool's).
TEST(Lint, ShippedServerFilesHaveNoFinding) {
  int checked = 0;
  for (const char* dir : {"examples", "packaging"}) {
    for (const auto& entry : fs::directory_iterator(source_dir() / dir)) {
      const std::string path = entry.path();
      if (!path.ends_with(".ini") || read_file(path).find("[client]") != path.npos) continue;
      EXPECT_EQ(outcome(server({"--config", path, "--lint"})), valid(path));
      ++checked;
    }
  }
  EXPECT_GE(checked, 2);
}

// Both binaries read the file with the same reader and say the same.
TEST(BadConfig, DamagedAndUnreadableFilesFailWithTheReadersMessage) {
  TempDir dir;
  std::mt19937 gen(2024);
  std::string garbage(1 << 10, '\0');
  for (char& c : garbage) c = static_cast<char>(gen());
  const std::pair<fs::path, std::string> cases[] = {
      // A crash during a write can leave a block of zero bytes behind.
      {dir.write("zero.ini", "[s]\nk=v\n" + std::string(4096, '\0')), "配置第 3 行缺少 '='"},
      {dir.write("nul.ini", std::string("\0[server]\n", 10)), "配置第 1 行缺少 '='"},
      {dir.write("line.ini", "[s]\nk=v\n" + std::string(16 << 20, 'x')), "配置第 3 行缺少 '='"},
      {dir.write("head.ini", "[" + std::string(16 << 20, ' ') + "]"), "配置第 1 行的 section 为空"},
      {dir.write("random.ini", garbage), "配置第 2 行缺少 '='"},
      // No message: "无法打开配置文件: " and the path. The last one opens, but reading
      // at offset 0 fails with an I/O error: a failed read must not pass for the end
      // of an empty file.
      {dir.path(), ""},
      {dir.path() / "missing.ini", ""},
      {"/proc/self/mem", ""},
  };
  for (const auto& [path, text] : cases) {
    SCOPED_TRACE(path);
    const std::string message = text.empty() ? "无法打开配置文件: " + path.string() : text;
    EXPECT_EQ(outcome(server({"--config", path})), startup_failed(message));
    EXPECT_EQ(outcome(manifest({"--config", path, "--launcher", "l", "--shield", "s"})),
              failed("manifest failed: " + message));
  }
}

TEST(BadConfig, HugeFilesAreReadToTheEnd) {
  TempDir dir;
  // 100 MB of well-formed lines: read whole, then refused for having no route.
  std::ofstream out(dir.path() / "big.ini", std::ios::binary);
  for (int i = 0; i < 100 * 1024; ++i) out << "key = " << std::string(1017, 'v') << "\n";  // 1 KiB
  ASSERT_TRUE(out.flush());
  EXPECT_EQ(outcome(server({"--config", dir.path() / "big.ini"})),
            startup_failed("至少需要一条启用的线路"));
  // A route name of 1 MB comes back whole in the message.
  const std::string name(1 << 20, 'r');
  EXPECT_EQ(outcome(server(
                {"--config", dir.write("name.ini", "[route:" + name + "]\nlisten_port = 0\n")})),
            startup_failed("线路 " + name + " 的端口必须在 1 到 65535 之间"));
}

const std::string kExample = (source_dir() / "examples" / "client.ini").string();

// The last occurrence wins; an option's value is taken whatever it looks like.
TEST(ManifestTool, WritesToStandardOutputOrFile) {
  TempDir dir;
  Args args = {"--shield",   "x",     "--config",   "missing.ini",     "--config", kExample,
               "--launcher", "--odd", "--launcher", "in/launcher.exe", "--shield", "in/shield.exe"};
  const std::string golden = read_file(source_dir() / "tests" / "data" / "client.manifest");
  EXPECT_EQ(outcome(manifest(args)), "0|" + golden + "|");
  args.insert(args.end(), {"--output", dir.path() / "out/sub/manifest.txt"});
  EXPECT_EQ(outcome(manifest(args)), "0||");
  EXPECT_EQ(read_file(dir.path() / "out/sub/manifest.txt"), golden);
}

TEST(ManifestTool, FailuresWriteNothing) {
  TempDir dir;
  const fs::path invalid = dir.write("invalid.ini", "[client]\nnodes =\n");
  const std::string output = dir.write("manifest.txt", "old").string(), dest = dir.path();
  const std::pair<Args, std::string> cases[] = {
      {{"--config", invalid, "--launcher", "l", "--shield", "s"}, "client.nodes 至少需要一个节点"},
      {{"--config", kExample, "", "--help"}, "未知参数: "},
      {{"--launcher", "l", "--shield", "s", "--config"}, "未知参数: --config"},
      {{"--launcher", "l", "--shield", "s"}, "缺少参数: --config"},
      {{"--config", kExample, "--shield", "s"}, "缺少参数: --launcher"},
      {{"--config", kExample, "--launcher", "l"}, "缺少参数: --shield"},
      {{"--config", kExample, "--launcher", "l", "--shield", "s", "--output", dest},
       "无法写入文件: " + dest},
  };
  for (auto [args, message] : cases) {
    EXPECT_EQ(outcome(manifest(args)), failed("manifest failed: " + message));
    args.insert(args.begin(), {"--output", output});
    EXPECT_EQ(outcome(manifest(args)), failed("manifest failed: " + message));
    EXPECT_EQ(read_file(output), "old") << message;
  }
}

}  // namespace
}  // namespace tarnwicket::test
