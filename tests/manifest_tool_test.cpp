// tarnwicket-manifest as a process: output, output file, and its failures.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/process.h"

namespace tarnwicket::test {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string kExample = (source_dir() / "examples" / "client.ini").string();

// The last occurrence wins; an option's value is taken whatever it looks like.
TEST(ManifestTool, WritesToStandardOutputOrFile) {
  TempDir dir;
  const fs::path output = dir.path() / "out" / "sub" / "manifest.txt";
  const std::vector<std::string> args = {
      "--shield",   "x",     "--config",   "missing.ini",     "--config", kExample,
      "--launcher", "--odd", "--launcher", "in/launcher.exe", "--shield", "in/shield.exe"};
  const std::string golden = read_file(source_dir() / "tests" / "data" / "client.manifest");
  for (const bool to_file : {false, true}) {
    std::vector<std::string> all = args;
    if (to_file) all.insert(all.end(), {"--output", output.string()});
    const auto result = run(manifest_binary(), all);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out + result.err, to_file ? "" : golden);
    if (to_file) {
      EXPECT_EQ(read_file(output), golden);
    }
  }
}

TEST(ManifestTool, HelpNamesEveryOption) {
  const auto result = run(manifest_binary(), {"--help", "--bogus"});
  EXPECT_EQ(result.status, 0);
  for (const char* option :
       {"--config <path>", "--launcher <path>", "--shield <path>", "--output <file>", "--help"}) {
    EXPECT_NE(result.out.find(option), std::string::npos) << option << result.out;
  }
}

TEST(ManifestTool, FailuresWriteNothing) {
  TempDir dir;
  const std::string invalid = dir.write("invalid.ini", "[client]\nnodes =\n").string();
  const std::string missing = (dir.path() / "missing.ini").string();
  const std::string output = dir.write("manifest.txt", "old").string();
  const std::pair<std::vector<std::string>, std::string> cases[] = {
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
      std::vector<std::string> all = args;
      if (to_file) all.insert(all.begin(), {"--output", output});
      const auto result = run(manifest_binary(), all);
      EXPECT_EQ(result.status, 1) << message;
      EXPECT_EQ(result.err, "manifest failed: " + message + "\n");
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(read_file(output), "old");
    }
  }
}

}  // namespace
}  // namespace tarnwicket::test
