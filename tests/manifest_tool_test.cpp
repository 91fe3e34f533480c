// tarnwicket-manifest as a process: output, output file, and its failures.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
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
  return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string kExample = (test::source_dir() / "examples" / "client.ini").string();

TEST(ManifestTool, WritesToStandardOutputOrFile) {
  const std::string manifest =
      make_client_manifest(load_client_config(kExample), "--odd", "in/s.exe");
  // The last occurrence wins; an option's value is taken whatever it looks like.
  auto result =
      test::run(test::manifest_binary(), {"--shield", "x", "--config", "missing.ini", "--config",
                                          kExample, "--launcher", "--odd", "--shield", "in/s.exe"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, manifest);

  test::TempDir dir;
  const fs::path output = dir.path() / "out" / "sub" / "manifest.txt";
  result =
      test::run(test::manifest_binary(), {"--config", kExample, "--launcher", "--odd", "--shield",
                                          "in/s.exe", "--output", output.string()});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(read_file(output), manifest);

  result = test::run(test::manifest_binary(), {"--help", "--bogus"});
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(result.out.starts_with("Tarnwicket.Manifest\n")) << result.out;
}

TEST(ManifestTool, FailuresWriteNothing) {
  test::TempDir dir;
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
      const auto result = test::run(test::manifest_binary(), all);
      EXPECT_EQ(result.status, 1) << message;
      EXPECT_EQ(result.err, "manifest failed: " + message + "\n");
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(read_file(output), "old");
    }
  }
}

}  // namespace
}  // namespace tarnwicket
