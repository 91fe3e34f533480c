// tarnwicket-manifest as a process: output, output file, and its failures.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/client_config.h"
#include "config/client_manifest.h"
#include "support/process.h"

namespace tarnwicket {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

fs::path example() { return test::source_dir() / "examples" / "client.ini"; }

std::string expected_manifest(const fs::path& config, const std::string& launcher,
                              const std::string& shield) {
  return make_client_manifest(load_client_config(config), launcher, shield);
}

TEST(ManifestTool, WritesToStandardOutput) {
  const auto result = test::run(
      test::manifest_binary(), {"--shield", "x", "--config", "missing.ini", "--config",
                                example().string(), "--launcher", "--odd", "--shield", "in/s.exe"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, expected_manifest(example(), "--odd", "in/s.exe"));
}

TEST(ManifestTool, WritesToOutputFile) {
  test::TempDir dir;
  const fs::path output = dir.path() / "out" / "sub" / "manifest.txt";
  const auto result =
      test::run(test::manifest_binary(), {"--config", example().string(), "--launcher", "l.exe",
                                          "--shield", "s.exe", "--output", output.string()});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(read_file(output), expected_manifest(example(), "l.exe", "s.exe"));
}

TEST(ManifestTool, Help) {
  const auto result = test::run(test::manifest_binary(), {"--help", "--bogus"});
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(result.out.starts_with("Tarnwicket.Manifest\n")) << result.out;
  EXPECT_EQ(result.err, "");
}

TEST(ManifestTool, FailuresWriteNothing) {
  test::TempDir dir;
  const std::string invalid = dir.write("invalid.ini", "[client]\nnodes =\n").string();
  const std::string missing = (dir.path() / "missing.ini").string();
  const std::string good = example().string();
  const std::string output = dir.write("manifest.txt", "old").string();
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"--config", invalid, "--launcher", "l", "--shield", "s"}, "client.nodes 至少需要一个节点"},
      {{"--config", missing, "--launcher", "l", "--shield", "s"}, "无法打开配置文件: " + missing},
      {{"--config", good, "--launcher", "l", "--shield", "s", "--verbose"}, "未知参数: --verbose"},
      {{"--config=" + good, "--launcher", "l", "--shield", "s"}, "未知参数: --config=" + good},
      {{"--config", good, "", "--help"}, "未知参数: "},
      {{"--launcher", "l", "--shield", "s", "--config"}, "未知参数: --config"},
      {{"--launcher", "l", "--shield", "s"}, "缺少参数: --config"},
      {{"--config", good, "--shield", "s"}, "缺少参数: --launcher"},
      {{"--config", good, "--launcher", "l"}, "缺少参数: --shield"},
      {{"--config", good, "--launcher", "l", "--shield", "s", "--output", dir.path().string()},
       "无法写入文件: " + dir.path().string()},
  };
  for (const Case& item : cases) {
    for (bool to_file : {false, true}) {
      std::vector<std::string> args = item.args;
      if (to_file) {
        args.insert(args.begin(), {"--output", output});
      }
      const auto result = test::run(test::manifest_binary(), args);
      EXPECT_EQ(result.status, 1) << item.message;
      EXPECT_EQ(result.err, "manifest failed: " + item.message + "\n");
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(read_file(output), "old");
    }
  }
}

}  // namespace
}  // namespace tarnwicket
