// Builds the Debian package of this build tree with cpack and checks what an
// operator gets. Each test packs its own copy into a temporary directory
// (about two seconds), so tests may run side by side.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/process.h"

namespace tarnwicket {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kConfig = "etc/tarnwicket/server.ini";
const char* const kUnit = "lib/systemd/system/tarnwicket.service";

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A program from PATH; status 127 when it is missing.
test::RunResult run_tool(const std::string& name, std::vector<std::string> args) {
  args.insert(args.begin(), name);
  return test::run("/usr/bin/env", std::move(args), {}, 120s);
}

bool have(const std::string& name) { return run_tool("which", {name}).status == 0; }

// Packs this build into `out` with the cpack of the cmake that configured it.
fs::path build_package(const fs::path& out, const std::string& version = "") {
  const fs::path build = TARNWICKET_BINARY_DIR;
  std::string cpack = "cpack";
  std::ifstream cache(build / "CMakeCache.txt");
  for (std::string line; std::getline(cache, line);) {
    if (line.starts_with("CMAKE_CPACK_COMMAND:INTERNAL=")) cpack = line.substr(line.find('=') + 1);
  }
  std::vector<std::string> args = {
      "--config", (build / "CPackConfig.cmake").string(), "-G", "DEB", "-B", out.string()};
  if (!version.empty()) args.insert(args.end(), {"-D", "CPACK_PACKAGE_VERSION=" + version});
  const auto result = run_tool(cpack, args);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  for (const auto& entry : fs::directory_iterator(out)) {
    if (entry.path().extension() == ".deb") return entry.path();
  }
  return {};
}

// What an operator unpacks: each file under its root and nothing astray, the
// conffile and maintainer scripts, installed programs that accept the
// installed files, manual pages that render, a unit that systemd accepts.
TEST(Package, UnpackedContents) {
  if (!have("dpkg-deb")) GTEST_SKIP() << "dpkg-deb is not installed";
  test::TempDir dir;
  const fs::path deb = build_package(dir.path() / "out");
  const fs::path root = dir.path() / "root";
  const fs::path control = dir.path() / "control";
  ASSERT_EQ(run_tool("dpkg-deb", {"-x", deb.string(), root.string()}).status, 0);
  ASSERT_EQ(run_tool("dpkg-deb", {"-e", deb.string(), control.string()}).status, 0);

  for (const char* file :
       {kConfig, kUnit, "usr/bin/tarnwicket-server", "usr/bin/tarnwicket-manifest",
        "usr/lib/libtarnwicket_config.a", "usr/include/config/ini.h",
        "usr/include/config/client_manifest.h", "usr/lib/cmake/tarnwicket/tarnwicketConfig.cmake",
        "usr/lib/cmake/tarnwicket/tarnwicketTargets.cmake",
        "usr/share/man/man1/tarnwicket-server.1.gz", "usr/share/man/man1/tarnwicket-manifest.1.gz",
        "usr/share/doc/tarnwicket/examples/client.ini"}) {
    EXPECT_TRUE(fs::is_regular_file(root / file)) << file;
  }
  // Nothing strays, for example into usr/etc or usr/local.
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = entry.path().lexically_relative(root).string();
    bool ok = entry.is_directory();
    for (const char* prefix :
         {"etc/tarnwicket/", "lib/systemd/system/", "usr/bin/", "usr/include/config/", "usr/lib/",
          "usr/share/man/man1/", "usr/share/doc/tarnwicket/"}) {
      ok = ok || relative.starts_with(prefix);
    }
    EXPECT_TRUE(ok) << relative;
  }
  std::string unit = read_file(root / kUnit);
  for (const char* line :
       {"\nExecStart=/usr/bin/tarnwicket-server --config /etc/tarnwicket/server.ini\n",
        "\nWorkingDirectory=/var/lib/tarnwicket\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(read_file(control / "conffiles"), "/" + std::string(kConfig) + "\n");
  for (const char* script : {"postinst", "prerm", "postrm"}) {
    EXPECT_EQ(::access((control / script).c_str(), X_OK), 0) << script;
    EXPECT_EQ(run_tool("sh", {"-n", (control / script).string()}).status, 0) << script;
  }

  const fs::path config = root / kConfig;
  const auto valid =
      test::run(root / "usr/bin/tarnwicket-server", {"--validate", "--config", config.string()});
  EXPECT_EQ(valid.out, "server config valid: " + config.string() + "\n") << valid.err;
  const auto manifest =
      test::run(root / "usr/bin/tarnwicket-manifest",
                {"--config", (root / "usr/share/doc/tarnwicket/examples/client.ini").string(),
                 "--launcher", "in/launcher.exe", "--shield", "in/shield.exe"});
  EXPECT_EQ(manifest.out, read_file(test::source_dir() / "tests/data/client.manifest"));

  for (const std::string page : {"tarnwicket-server", "tarnwicket-manifest"}) {
    if (!have("man")) break;
    const auto shown = run_tool(
        "MANWIDTH=80",
        {"man", "--warnings", "-l", (root / "usr/share/man/man1" / page).string() + ".1.gz"});
    EXPECT_EQ(shown.status, 0) << page;
    EXPECT_EQ(shown.err, "") << page;  // groff warnings
    EXPECT_NE(shown.out.find(page), std::string::npos) << page;
  }

  // verify needs the programs that the unit names, so it checks a copy that
  // points into the unpacked root, when it can run here at all.
  const fs::path probe = dir.write("probe/probe.service", "[Service]\nExecStart=/bin/true\n");
  if (run_tool("systemd-analyze", {"verify", probe.string()}).status != 0) return;
  for (const std::string absolute : {"/usr/bin/tarnwicket-server", "/etc/tarnwicket/server.ini"}) {
    const std::string moved = (root / absolute.substr(1)).string();
    for (auto at = unit.find(absolute); at != std::string::npos;
         at = unit.find(absolute, at + moved.size())) {
      unit.replace(at, absolute.size(), moved);
    }
  }
  // Documentation=man:... is looked up with man, so the pages must be found.
  const auto verified = run_tool(
      "MANPATH=" + (root / "usr/share/man").string(),
      {"systemd-analyze", "verify", dir.write("verify/tarnwicket.service", unit).string()});
  EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
  EXPECT_EQ(verified.err, "");
}

TEST(Package, UpgradeKeepsEditedConfigurationPurgeRemovesIt) {
  if (::geteuid() != 0 || !have("dpkg")) GTEST_SKIP() << "needs dpkg and root";
  test::TempDir dir;
  const fs::path deb = build_package(dir.path() / "out");
  const fs::path next = build_package(dir.path() / "next", "999.0.0");
  const fs::path target = dir.path() / "target";
  fs::create_directories(target / "var/lib/dpkg/info");
  fs::create_directories(target / "var/lib/dpkg/updates");
  std::ofstream(target / "var/lib/dpkg/status");
  std::ofstream(target / "var/lib/dpkg/available");
  // The scripts run outside the root with DPKG_ROOT set; the dependencies are
  // the host's, not the private root's.
  auto dpkg = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--root=" + target.string(), "--force-script-chrootless",
                               "--force-depends", "--log=/dev/null"});
    const auto result = run_tool("dpkg", args);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
  };

  dpkg({"-i", deb.string()});
  std::ofstream(target / kConfig, std::ios::app) << "; edited by the operator\n";
  fs::create_directories(target / "var/lib/private/tarnwicket");
  dpkg({"-i", next.string()});
  EXPECT_TRUE(read_file(target / kConfig).ends_with("; edited by the operator\n"));
  EXPECT_NE(read_file(target / "var/lib/dpkg/status").find("Version: 999.0.0"), std::string::npos);

  dpkg({"--purge", "tarnwicket"});
  for (const char* gone :
       {kConfig, kUnit, "usr/bin/tarnwicket-server", "var/lib/private/tarnwicket"}) {
    EXPECT_FALSE(fs::exists(target / gone)) << gone;
  }
}

}  // namespace
}  // namespace tarnwicket
