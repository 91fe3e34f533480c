// What gets installed: the Debian package of this build tree (cpack), the
// CMake package that a consumer builds against, the container image, and the
// Kubernetes manifests. Each test works in a temporary directory of its own,
// so tests may run side by side.

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "support/gateway_fixture.h"

namespace tarnwicket {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kConfig = "etc/tarnwicket/server.ini";
const char* const kUnit = "lib/systemd/system/tarnwicket.service";
const std::string kDoc = "usr/share/doc/tarnwicket/";

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A program from PATH (NAME=VALUE words first set the environment); 127 when missing.
test::RunResult run_tool(std::vector<std::string> args) {
  return test::run("/usr/bin/env", std::move(args), {}, 120s);
}

bool have(const std::string& name) { return run_tool({"which", name}).status == 0; }

// Packs this build into `out` with the cpack of the cmake that configured it.
fs::path build_package(const fs::path& out, const std::string& version = "1.0.0") {
  const fs::path cpack = fs::path(TARNWICKET_CMAKE_COMMAND).parent_path() / "cpack";
  const auto result =
      run_tool({cpack.string(), "--config", TARNWICKET_BINARY_DIR "/CPackConfig.cmake", "-G", "DEB",
                "-B", out.string(), "-D", "CPACK_PACKAGE_VERSION=" + version});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  for (const auto& entry : fs::directory_iterator(out)) {
    if (entry.path().extension() == ".deb") return entry.path();
  }
  return {};
}

// What an operator unpacks: each file under its root and nothing astray, the
// conffile and maintainer scripts, an installed server that accepts the
// installed file, manual pages that render, a unit that systemd accepts.
TEST(Package, UnpackedContents) {
  if (!have("dpkg-deb")) GTEST_SKIP() << "dpkg-deb is not installed";
  test::TempDir dir;
  const fs::path deb = build_package(dir.path() / "out");
  const fs::path root = dir.path() / "root";
  const fs::path control = dir.path() / "control";
  ASSERT_EQ(run_tool({"dpkg-deb", "-x", deb.string(), root.string()}).status, 0);
  ASSERT_EQ(run_tool({"dpkg-deb", "-e", deb.string(), control.string()}).status, 0);

  const std::string lib = "usr/" TARNWICKET_INSTALL_LIBDIR "/";
  for (const std::string& file : std::vector<std::string>{
           kConfig, kUnit, "usr/bin/tarnwicket-server", "usr/bin/tarnwicket-manifest",
           "usr/include/tarnwicket/config/client_manifest.h",
           "usr/share/man/man1/tarnwicket-server.1.gz", lib + "libtarnwicket_config.a",
           lib + "cmake/tarnwicket/tarnwicketTargets.cmake", kDoc + "LICENSE", kDoc + "copyright",
           kDoc + "changelog.Debian.gz", kDoc + "examples/client.ini"}) {
    EXPECT_TRUE(fs::is_regular_file(root / file)) << file;
  }
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = entry.path().lexically_relative(root).string();
    bool ok = entry.is_directory();
    for (const std::string& prefix : std::vector<std::string>{
             "etc/tarnwicket/", "lib/systemd/system/", "usr/bin/", "usr/include/tarnwicket/config/",
             lib, "usr/share/man/man1/", kDoc}) {
      ok = ok || relative.starts_with(prefix);
    }
    EXPECT_TRUE(ok) << relative;
  }
  EXPECT_EQ(read_file(root / kDoc / "LICENSE"), read_file(test::source_dir() / "LICENSE"));
  std::string unit = read_file(root / kUnit);
  for (const char* line :
       {"\nType=notify\n", "\nExecReload=/bin/kill -HUP $MAINPID\n",
        "\nExecStartPre=/usr/bin/tarnwicket-server --config /etc/tarnwicket/server.ini "
        "--validate\n",
        "\nExecStart=/usr/bin/tarnwicket-server --config /etc/tarnwicket/server.ini\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(read_file(control / "conffiles"), "/" + std::string(kConfig) + "\n");
  for (const char* script : {"postinst", "prerm", "postrm"}) {
    EXPECT_EQ(::access((control / script).c_str(), X_OK), 0) << script;
    EXPECT_EQ(run_tool({"sh", "-n", (control / script).string()}).status, 0) << script;
  }

  const fs::path config = root / kConfig;
  const auto valid =
      test::run(root / "usr/bin/tarnwicket-server", {"--validate", "--config", config.string()});
  EXPECT_EQ(valid.out, "server config valid: " + config.string() + "\n") << valid.err;
  const fs::path pages = root / "usr/share/man/man1";
  const auto shown =
      run_tool({"MANWIDTH=80", "man", "--warnings", "-l", pages / "tarnwicket-server.1.gz",
                pages / "tarnwicket-manifest.1.gz"});
  EXPECT_EQ(shown.err, "");  // groff warnings
  EXPECT_NE(shown.out.find("tarnwicket-manifest"), std::string::npos) << shown.status;

  // verify needs the programs that the unit names, so it checks a copy that
  // points into the unpacked root, when it can run here at all.
  const fs::path probe = dir.write("probe/probe.service", "[Service]\nExecStart=/bin/true\n");
  if (run_tool({"systemd-analyze", "verify", probe.string()}).status != 0) return;
  for (const std::string absolute : {"/usr/bin/tarnwicket-server", "/etc/tarnwicket/server.ini"}) {
    const std::string moved = (root / absolute.substr(1)).string();
    for (auto at = unit.find(absolute); at != std::string::npos;
         at = unit.find(absolute, at + moved.size())) {
      unit.replace(at, absolute.size(), moved);
    }
  }
  // Documentation=man:... is looked up with man, so the pages must be found.
  const auto verified = run_tool({"MANPATH=" + (root / "usr/share/man").string(), "systemd-analyze",
                                  "verify", dir.write("verify/tarnwicket.service", unit).string()});
  EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
  EXPECT_EQ(verified.err, "");
}

// The maintainer scripts run against a private root with a stand-in systemctl
// that records its calls: an upgrade neither stops nor restarts the service.
TEST(Package, UpgradeKeepsServiceAndEditedConfigurationPurgeRemovesAll) {
  if (::geteuid() != 0 || !have("dpkg")) GTEST_SKIP() << "needs dpkg and root";
  test::TempDir dir;
  const fs::path deb = build_package(dir.path() / "out");
  const fs::path next = build_package(dir.path() / "next", "999.0.0");
  const fs::path target = dir.path() / "target";
  for (const char* sub : {"var/lib/dpkg/info", "var/lib/dpkg/updates", "run/systemd/system"}) {
    fs::create_directories(target / sub);
  }
  std::ofstream(target / "var/lib/dpkg/status");
  std::ofstream(target / "var/lib/dpkg/available");
  const fs::path calls = dir.path() / "systemctl.calls";
  fs::permissions(dir.write("bin/systemctl", "#!/bin/sh\necho \"$*\" >>" + calls.string() + "\n"),
                  fs::perms::owner_all);
  const std::string path = "PATH=" + (dir.path() / "bin").string() + ":" + std::getenv("PATH");
  auto dpkg = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {path, "dpkg", "--root=" + target.string(), "--log=/dev/null",
                               "--force-script-chrootless", "--force-depends"});
    const auto result = run_tool(args);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
  };

  dpkg({"-i", deb.string()});
  std::ofstream(target / kConfig, std::ios::app) << "; edited by the operator\n";
  fs::create_directories(target / "var/lib/private/tarnwicket");
  dpkg({"-i", next.string()});
  EXPECT_TRUE(read_file(target / kConfig).ends_with("; edited by the operator\n"));
  EXPECT_NE(read_file(target / "var/lib/dpkg/status").find("Version: 999.0.0"), std::string::npos);
  EXPECT_EQ(read_file(calls), "--system daemon-reload\n--system daemon-reload\n");

  dpkg({"--purge", "tarnwicket"});
  EXPECT_NE(read_file(calls).find("stop tarnwicket.service"), std::string::npos);
  for (const char* gone :
       {kConfig, kUnit, "usr/bin/tarnwicket-server", "var/lib/private/tarnwicket"}) {
    EXPECT_FALSE(fs::exists(target / gone)) << gone;
  }
  EXPECT_FALSE(fs::exists(target / kDoc));
}

// Installs this build into a temporary prefix and builds tests/consumer, a
// project of its own, against it with find_package(tarnwicket). The consumer
// gets the compiler, generator and flags of this build's CMakeCache.txt, so a
// sanitizer build links its consumer with the same runtime.
TEST(Install, ConsumerBuildsAgainstInstalledPackage) {
  test::TempDir dir;
  const fs::path prefix = dir.path() / "prefix";
  const fs::path consumer = dir.path() / "consumer";
  std::vector<std::vector<std::string>> steps = {
      {"--install", TARNWICKET_BINARY_DIR, "--prefix", prefix.string()},
      {"-S", test::source_dir() / "tests/consumer", "-B", consumer,
       "-DCMAKE_PREFIX_PATH=" + prefix.string()},
      {"--build", consumer}};
  std::ifstream cache(TARNWICKET_BINARY_DIR "/CMakeCache.txt");
  for (std::string line; std::getline(cache, line);) {  // NAME:TYPE=VALUE
    const std::string name = line.substr(0, line.find(':'));
    const std::string value = line.substr(line.find('=') + 1);
    if (name == "CMAKE_GENERATOR") steps[1].insert(steps[1].end(), {"-G", value});
    for (const char* wanted : {"CMAKE_CXX_COMPILER", "CMAKE_BUILD_TYPE", "CMAKE_CXX_FLAGS",
                               "CMAKE_EXE_LINKER_FLAGS", "CMAKE_MAKE_PROGRAM"}) {
      if (name == wanted && !value.empty()) steps[1].push_back("-D" + name + "=" + value);
    }
  }
  for (auto& step : steps) {
    step.insert(step.begin(), TARNWICKET_CMAKE_COMMAND);
    const auto result = run_tool(step);
    ASSERT_EQ(result.status, 0) << step[1] << "\n" << result.out << result.err;
  }
  const auto result = test::run(consumer / "consumer", {test::source_dir() / "examples/client.ini",
                                                        "in/launcher.exe", "in/shield.exe"});
  EXPECT_EQ(result.out, read_file(test::source_dir() / "tests/data/client.manifest")) << result.err;
}

// Every manifest under deploy/kubernetes against the Kubernetes schemas,
// offline; and a wrong one is caught.
TEST(Deploy, KubernetesManifestsMatchTheSchemas) {
  const fs::path npm = test::source_dir() / "build/npm";
  if (!fs::exists(npm / "node_modules/kubernetes-models") || !have("node")) {
    GTEST_SKIP() << "no Kubernetes validator in " << npm
                 << " (scripts/setup.sh installs it with npm)";
  }
  const fs::path deploy = test::source_dir() / "deploy/kubernetes";
  std::vector<std::string> args = {"TARNWICKET_NPM_DIR=" + npm.string(), "node",
                                   (deploy / "validate.mjs").string()};
  for (const auto& entry : fs::directory_iterator(deploy)) {
    if (entry.path().extension() == ".yaml") args.push_back(entry.path().string());
  }
  const auto result = run_tool(args);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(result.out.find("invalid"), std::string::npos);
  EXPECT_NE(result.out.find("valid: " + (deploy / "daemonset.yaml").string() + ": DaemonSet"),
            std::string::npos);

  test::TempDir dir;
  args.resize(3);
  args.push_back(
      dir.write("bad.yaml", "apiVersion: v1\nkind: Service\nspec: {ports: [{port: x}]}\n")
          .string());
  EXPECT_EQ(run_tool(args).status, 1);
}

// This host builds images but cannot run containers, so the image of
// scripts/container.sh runs from its mounted root as the image's user.
TEST(Container, ImageRelaysAsItsUserAndStopsOnSigterm) {
  if (::geteuid() != 0 || !have("buildah")) GTEST_SKIP() << "needs buildah and root";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime needs /proc, which the image's root lacks";
#endif
  test::TempDir dir;
  const std::string image = "localhost/tarnwicket-test:" + std::to_string(::getpid());
  const auto built = run_tool({(test::source_dir() / "scripts/container.sh").string(),
                               build_package(dir.path() / "out").string(), image});
  ASSERT_EQ(built.status, 0) << built.err;
  auto buildah = [](const std::vector<std::string>& args) {
    std::vector<std::string> command = {"buildah", "--storage-driver", "vfs"};
    command.insert(command.end(), args.begin(), args.end());
    auto result = run_tool(command);
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out.substr(0, result.out.find('\n'));
  };
  struct Cleanup {
    std::function<void()> run;
    ~Cleanup() { run(); }
  };
  const Cleanup remove_image{[&] { buildah({"rmi", image}); }};
  const std::string container = buildah({"from", "--pull=never", image});
  const Cleanup remove_container{[&] { buildah({"rm", container}); }};
  const fs::path root = buildah({"mount", container});

  test::TcpUpstream upstream;
  const int port = test::free_port();
  std::ofstream(root / kConfig) << test::server_ini(
      {{"g", "tcp", port, "127.0.0.1", upstream.port()}});
  test::Process server("/usr/sbin/chroot",
                       {"--userspec=10001:10001", root.string(), "/usr/bin/tarnwicket-server",
                        "--config", "/" + std::string(kConfig)});
  ASSERT_TRUE(server.wait_for_line("server started"))
      << server.stdout_text() << server.stderr_text();
  const fs::path status = "/proc/" + std::to_string(server.pid()) + "/status";
  EXPECT_NE(read_file(status).find("\nUid:\t10001\t"), std::string::npos) << read_file(status);
  const test::Fd client = test::tcp_connect(port);
  EXPECT_TRUE(test::echoes(client.get(), "through the image"));
  server.signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0) << server.stderr_text();
}

}  // namespace
}  // namespace tarnwicket
