// Damaged, huge and unreadable configuration files, given to the real
// binaries: each ends in one clear line on standard error and status 1.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "support/process.h"

namespace tarnwicket::test {
namespace {

namespace fs = std::filesystem;

RunResult run_server(const fs::path& config) {
  return run(server_binary(), {"--config", config.string()}, {}, 60s);
}

// Status 1, nothing on stdout, and the line `err` on stderr; an `err` that ends in
// "第 " stands for any line number and message of the INI reader.
void expect_failure(const RunResult& r, const std::string& err) {
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  if (err.ends_with("第 ")) {
    EXPECT_TRUE(r.err.starts_with(err) && r.err.find('\n') == r.err.size() - 1) << r.err;
  } else {
    EXPECT_EQ(r.err, err + "\n");
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
  ASSERT_EQ(fs::file_size(big), 100u << 20);
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

}  // namespace
}  // namespace tarnwicket::test
