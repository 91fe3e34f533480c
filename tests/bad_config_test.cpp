// Damaged, huge and unreadable configuration files, given to the real
// binaries: each ends in one clear line on standard error and status 1.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "support/process.h"

namespace tarnwicket::test {
namespace {

const std::string kServerFails = "server startup failed: ";
const std::string kManifestFails = "manifest failed: ";

RunResult run_server(const std::filesystem::path& config) {
  return run(server_binary(), {"--config", config.string()});
}

RunResult run_manifest(const std::filesystem::path& config) {
  return run(manifest_binary(),
             {"--config", config.string(), "--launcher", "in/l.exe", "--shield", "in/s.exe"});
}

// One line on stderr, nothing on stdout, status 1.
void expect_failure(const RunResult& r, const std::string& expected_err, const std::string& what) {
  EXPECT_EQ(r.status, 1) << what;
  EXPECT_EQ(r.out, "") << what;
  EXPECT_EQ(r.err, expected_err) << what;
}

std::string garbage(size_t size) {
  std::mt19937 gen(2024);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(gen());
  return bytes;
}

TEST(BadConfig, DamagedContentFailsWithTheReadersMessage) {
  const std::string header = "[server]\nlisten_address = 127.0.0.1\n";
  struct Case {
    const char* what;
    std::string content;
    std::string message;
  };
  const Case cases[] = {
      // A crash during a write can leave a block of zero bytes behind.
      {"zero block", header + std::string(4096, '\0') + "\n[route:a]\n", "配置第 3 行缺少 '='"},
      {"NUL first", std::string("\0[server]\n", 10), "配置第 1 行缺少 '='"},
      {"16 MB line", header + std::string(16 << 20, 'x') + "\n", "配置第 3 行缺少 '='"},
      {"16 MB header", "[" + std::string(16 << 20, ' ') + "]\n", "配置第 1 行的 section 为空"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const auto path = dir.write("bad.ini", c.content);
    expect_failure(run_server(path), kServerFails + c.message + "\n", c.what);
    expect_failure(run_manifest(path), kManifestFails + c.message + "\n", c.what);
  }
}

TEST(BadConfig, BinaryGarbageFailsCleanly) {
  TempDir dir;
  for (size_t size : {size_t{1} << 10, size_t{1} << 20}) {
    const auto path = dir.write("garbage.ini", garbage(size));
    for (const RunResult& r : {run_server(path), run_manifest(path)}) {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      ASSERT_FALSE(r.err.empty());
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
      const bool from_reader = r.err.find(": 配置第 ") != std::string::npos;
      EXPECT_TRUE(from_reader) << r.err;
    }
  }
}

TEST(BadConfig, HugeFilesAreReadToTheEnd) {
  TempDir dir;
  // 100 MB of well-formed lines: read whole, then refused for having no route.
  const auto big = dir.path() / "big.ini";
  {
    const std::string line = "key = " + std::string(1017, 'v') + "\n";  // 1 KiB
    std::string block;
    for (int i = 0; i < 1024; ++i) block += line;
    std::ofstream out(big, std::ios::binary);
    for (int i = 0; i < 100; ++i)
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    ASSERT_TRUE(out.flush());
  }
  ASSERT_EQ(std::filesystem::file_size(big), 100u << 20);
  const auto begin = std::chrono::steady_clock::now();
  expect_failure(run(server_binary(), {"--config", big.string()}, {}, 60s),
                 kServerFails + "至少需要一条启用的线路\n", "100 MB");
  std::printf("[ figures  ] 100 MB file refused after %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - begin)
                                         .count()));

  // A route name of 1 MB comes back whole in the message.
  const std::string name(1 << 20, 'r');
  const auto long_name = dir.write("name.ini", "[route:" + name + "]\nlisten_port = 0\n");
  expect_failure(run_server(long_name),
                 kServerFails + "线路 " + name + " 的端口必须在 1 到 65535 之间\n",
                 "1 MB route name");
}

TEST(BadConfig, UnreadablePathsFailLikeMissingFiles) {
  TempDir dir;
  const auto subdir = dir.path() / "conf.d";
  std::filesystem::create_directory(subdir);
  // /proc/self/mem opens, but reading at offset 0 fails with an I/O error:
  // a failed read must not pass for the end of an empty file.
  for (const std::filesystem::path& path :
       {subdir, dir.path() / "missing.ini", std::filesystem::path("/proc/self/mem")}) {
    const std::string message = "无法打开配置文件: " + path.string() + "\n";
    expect_failure(run_server(path), kServerFails + message, path.string());
    expect_failure(run_manifest(path), kManifestFails + message, path.string());
  }
}

TEST(BadConfig, FileWithoutReadPermission) {
  TempDir dir;
  const auto path = dir.write("secret.ini", "[route:a]\n");
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all |
                                               std::filesystem::perms::group_exec |
                                               std::filesystem::perms::others_exec);
  std::filesystem::permissions(path, std::filesystem::perms::none);
  const std::string expected = kServerFails + "无法打开配置文件: " + path.string() + "\n";
  if (::geteuid() != 0) {
    expect_failure(run_server(path), expected, "mode 000");
    return;
  }
  // Root reads any file whatever its mode: run the server as nobody instead.
  const std::filesystem::path setpriv = "/usr/bin/setpriv";
  const std::vector<std::string> as_nobody = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                              server_binary().string()};
  auto with = [&](std::vector<std::string> args, std::vector<std::string> more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  if (!std::filesystem::exists(setpriv) || run(setpriv, with(as_nobody, {"--help"})).status != 0) {
    GTEST_SKIP() << "as root a mode of 000 stops nothing, and the server cannot be run as nobody";
  }
  expect_failure(run(setpriv, with(as_nobody, {"--config", path.string()})), expected,
                 "mode 000 as nobody");
}

}  // namespace
}  // namespace tarnwicket::test
