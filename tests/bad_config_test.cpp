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
  return run(server_binary(), {"--config", config.string()});
}

// One line on stderr, nothing on stdout, status 1.
void expect_failure(const RunResult& r, const std::string& expected_err, const std::string& what) {
  EXPECT_EQ(r.status, 1) << what;
  EXPECT_EQ(r.out, "") << what;
  EXPECT_EQ(r.err, expected_err) << what;
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
  const auto cannot_open = [](const fs::path& path) {
    return "无法打开配置文件: " + path.string();
  };
  struct Case {
    const char* what;
    fs::path path;
    std::string message;  // empty: any one line from the reader
  };
  const Case cases[] = {
      // A crash during a write can leave a block of zero bytes behind.
      {"zero block", dir.write("zero.ini", header + std::string(4096, '\0') + "\n[route:a]\n"),
       "配置第 3 行缺少 '='"},
      {"NUL first", dir.write("nul.ini", std::string("\0[server]\n", 10)), "配置第 1 行缺少 '='"},
      {"16 MB line", dir.write("line.ini", header + std::string(16 << 20, 'x') + "\n"),
       "配置第 3 行缺少 '='"},
      {"16 MB header", dir.write("header.ini", "[" + std::string(16 << 20, ' ') + "]\n"),
       "配置第 1 行的 section 为空"},
      {"1 KiB garbage", dir.write("small.ini", garbage.substr(0, 1 << 10)), ""},
      {"1 MiB garbage", dir.write("large.ini", garbage), ""},
      {"directory", subdir, cannot_open(subdir)},
      {"missing", dir.path() / "missing.ini", cannot_open(dir.path() / "missing.ini")},
      // It opens, but reading at offset 0 fails with an I/O error: a failed
      // read must not pass for the end of an empty file.
      {"/proc/self/mem", "/proc/self/mem", cannot_open("/proc/self/mem")},
  };
  for (const Case& c : cases) {
    const std::pair<std::string, RunResult> results[] = {
        {"server startup failed: ", run_server(c.path)},
        {"manifest failed: ", run(manifest_binary(), {"--config", c.path.string(), "--launcher",
                                                      "in/l.exe", "--shield", "in/s.exe"})}};
    for (const auto& [prefix, r] : results) {
      if (!c.message.empty()) {
        expect_failure(r, prefix + c.message + "\n", c.what);
        continue;
      }
      EXPECT_EQ(r.status, 1) << c.what;
      EXPECT_EQ(r.out, "") << c.what;
      EXPECT_TRUE(r.err.starts_with(prefix + "配置第 ")) << r.err;
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    }
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
  const auto begin = std::chrono::steady_clock::now();
  expect_failure(run(server_binary(), {"--config", big.string()}, {}, 60s),
                 "server startup failed: 至少需要一条启用的线路\n", "100 MB");
  std::printf("[ figures  ] 100 MB file refused after %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - begin)
                                         .count()));

  // A route name of 1 MB comes back whole in the message.
  const std::string name(1 << 20, 'r');
  expect_failure(run_server(dir.write("name.ini", "[route:" + name + "]\nlisten_port = 0\n")),
                 "server startup failed: 线路 " + name + " 的端口必须在 1 到 65535 之间\n",
                 "1 MB route name");
}

TEST(BadConfig, FileWithoutReadPermission) {
  TempDir dir;
  const auto path = dir.write("secret.ini", "[route:a]\n");
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_exec);
  fs::permissions(path, fs::perms::none);
  const std::string expected = "server startup failed: 无法打开配置文件: " + path.string() + "\n";
  if (::geteuid() != 0) {
    expect_failure(run_server(path), expected, "mode 000");
    return;
  }
  // Root reads any file whatever its mode: run the server as nobody instead.
  const fs::path setpriv = "/usr/bin/setpriv";
  const std::vector<std::string> as_nobody = {"--reuid=65534",  "--regid=65534",
                                              "--clear-groups", server_binary().string(),
                                              "--config",       path.string()};
  if (!fs::exists(setpriv))
    GTEST_SKIP() << "as root, mode 000 stops nothing and setpriv is missing";
  expect_failure(run(setpriv, as_nobody), expected, "mode 000 as nobody");
}

}  // namespace
}  // namespace tarnwicket::test
