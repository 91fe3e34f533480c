// What gets installed: the Debian package of this build tree (cpack), the
// CMake package that a consumer builds against, the container image, and the
// Kubernetes manifests. Each test works in a temporary directory of its own,
// so tests may run side by side.

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <set>

#include "support/gateway_fixture.h"

namespace tarnwicket::test {
namespace {

namespace fs = std::filesystem;

const std::string kConfig = "/etc/tarnwicket/server.ini";

// The files below `root` (all but directories), one a line, sorted.
std::string files_under(const fs::path& root) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (!entry.is_directory()) files.insert(entry.path().lexically_relative(root).string() + "\n");
  return std::accumulate(files.begin(), files.end(), std::string());
}

// A program from PATH (NAME=VALUE words first set the environment); 127 when missing.
RunResult run_tool(std::vector<std::string> args) { return run("/usr/bin/env", args, {}, 120s); }

bool have(const std::string& name) { return run_tool({"which", name}).status == 0; }

// Packs this build into out/tarnwicket.deb with the cpack of the cmake that configured it.
fs::path build_package(const fs::path& out, const std::string& version = "1.0.0") {
  const auto result =
      run_tool({fs::path(TARNWICKET_CMAKE_COMMAND).parent_path() / "cpack", "--config",
                TARNWICKET_BINARY_DIR "/CPackConfig.cmake", "-G", "DEB", "-B", out, "-D",
                "CPACK_PACKAGE_VERSION=" + version, "-D", "CPACK_DEBIAN_FILE_NAME=tarnwicket.deb"});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  return out / "tarnwicket.deb";
}

// buildah on the storage of scripts/container.sh; the first line it prints.
std::string buildah(std::vector<std::string> args) {
  args.insert(args.begin(), {"buildah", "--storage-driver", "vfs"});
  const auto result = run_tool(args);
  EXPECT_EQ(result.status, 0) << result.err;
  return result.out.substr(0, result.out.find('\n'));
}

// What an operator unpacks: exactly the files of tests/data/package.files,
// the tracked unit unchanged, an installed server that accepts the installed
// file, manual pages that render, a unit that systemd accepts. (The upgrade
// test below runs the maintainer scripts.)
TEST(Package, UnpackedContents) {
  if (!have("dpkg-deb")) GTEST_SKIP() << "dpkg-deb is not installed";
  TempDir dir;
  const std::string root = dir.path() / "root";
  ASSERT_EQ(run_tool({"dpkg-deb", "-R", build_package(dir.path() / "out"), root}).status, 0);
  // The library directory and the build type are LIBDIR and CONFIG in the list.
  fs::rename(root + "/usr/" TARNWICKET_INSTALL_LIBDIR, root + "/usr/LIBDIR");
  std::string files = files_under(root);
  const std::size_t config = files.find("Targets-") + 8;
  files.replace(config, files.find(".cmake", config) - config, "CONFIG");
  EXPECT_EQ(files, read_file(source_dir() / "tests/data/package.files"));
  const std::string unit = root + "/lib/systemd/system/tarnwicket.service";
  EXPECT_EQ(read_file(unit), read_file(source_dir() / "packaging/tarnwicket.service"));

  const auto valid =
      run(root + "/usr/bin/tarnwicket-server", {"--validate", "--config", root + kConfig});
  EXPECT_EQ(valid.out, "server config valid: " + root + kConfig + "\n") << valid.err;
  const std::string man = root + "/usr/share/man";
  const auto shown = run_tool({"MANPATH=" + man, "MANWIDTH=80", "man", "--warnings",
                               "tarnwicket-server", "tarnwicket-manifest"});
  EXPECT_EQ(shown.err, "");  // groff warnings
  EXPECT_NE(shown.out.find("tarnwicket-manifest"), std::string::npos) << shown.status;

  // verify needs the programs that the unit runs, so it checks a copy that
  // runs those of the unpacked root, when it can run here at all.
  const fs::path probe = dir.write("probe/probe.service", "[Service]\nExecStart=/bin/true\n");
  if (run_tool({"systemd-analyze", "verify", probe.string()}).status != 0) return;
  const std::string moved = run_tool({"sed", "s#=/usr/bin/#=" + root + "/usr/bin/#", unit}).out;
  // Documentation=man:... is looked up with man, so the pages must be found.
  const auto verified = run_tool({"MANPATH=" + man, "systemd-analyze", "verify",
                                  dir.write("verify/tarnwicket.service", moved)});
  EXPECT_EQ(verified.status, 0) << verified.out;
  EXPECT_EQ(verified.err, "");
}

// The maintainer scripts run against a private root with a stand-in systemctl
// that records its calls: an upgrade neither stops nor restarts the service,
// and a purge leaves no file behind, the service's state included.
TEST(Package, UpgradeKeepsServiceAndEditedConfigurationPurgeRemovesAll) {
  if (::geteuid() != 0 || !have("dpkg")) GTEST_SKIP() << "needs dpkg and root";
  TempDir dir;
  const fs::path target = dir.path() / "target", calls = dir.path() / "systemctl.calls";
  fs::create_directories(target / "run/systemd/system");
  fs::permissions(dir.write("bin/systemctl", "#!/bin/sh\necho \"$*\" >>" + calls.string() + "\n"),
                  fs::perms::owner_all);
  auto dpkg = [&](const std::string& action, const std::string& what) {
    const auto result =
        run_tool({"PATH=" + (dir.path() / "bin").string() + ":" + std::getenv("PATH"), "dpkg",
                  "--root=" + target.string(), "--admindir=" + (dir.path() / "admin").string(),
                  "--log=/dev/null", "--force-script-chrootless", "--force-depends", action, what});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
  };

  dpkg("-i", build_package(dir.path() / "out"));
  std::ofstream(target.string() + kConfig, std::ios::app) << "; edited by the operator\n";
  dir.write("target/var/lib/private/tarnwicket/state", "");  // the service's state directory
  dpkg("-i", build_package(dir.path() / "next", "999.0.0"));
  EXPECT_TRUE(read_file(target.string() + kConfig).ends_with("; edited by the operator\n"));
  EXPECT_NE(read_file(dir.path() / "admin/status").find("Version: 999.0.0"), std::string::npos);
  dpkg("--purge", "tarnwicket");
  // Install and upgrade, then remove and purge.
  EXPECT_EQ(read_file(calls),
            "--system daemon-reload\n--system daemon-reload\n"
            "stop tarnwicket.service\n--system daemon-reload\n--system daemon-reload\n");
  EXPECT_EQ(files_under(target), "");
}

// Installs this build into a temporary prefix and builds tests/consumer, a
// project of its own, against it with find_package(tarnwicket). The consumer
// gets the compiler, generator and flags of this build's CMakeCache.txt, so a
// sanitizer build links its consumer with the same runtime.
TEST(Install, ConsumerBuildsAgainstInstalledPackage) {
  TempDir dir;
  const std::string prefix = dir.path() / "prefix", consumer = dir.path() / "consumer";
  std::vector<std::string> configure = {"-S", source_dir() / "tests/consumer", "-B", consumer,
                                        "-DCMAKE_PREFIX_PATH=" + prefix};
  const std::set<std::string> wanted = {"CMAKE_GENERATOR",    "CMAKE_MAKE_PROGRAM",
                                        "CMAKE_CXX_COMPILER", "CMAKE_BUILD_TYPE",
                                        "CMAKE_CXX_FLAGS",    "CMAKE_EXE_LINKER_FLAGS"};
  std::ifstream cache(TARNWICKET_BINARY_DIR "/CMakeCache.txt");
  for (std::string line; std::getline(cache, line);)  // NAME:TYPE=VALUE, taken when not empty
    if (wanted.contains(line.substr(0, line.find(':'))) && !line.ends_with('='))
      configure.push_back("-D" + line.substr(0, line.find(':')) + line.substr(line.find('=')));
  for (auto step :
       {std::vector<std::string>{"--install", TARNWICKET_BINARY_DIR, "--prefix", prefix}, configure,
        std::vector<std::string>{"--build", consumer}}) {
    step.insert(step.begin(), TARNWICKET_CMAKE_COMMAND);
    const auto result = run_tool(step);
    ASSERT_EQ(result.status, 0) << step[1] << "\n" << result.out << result.err;
  }
  const auto result = run(consumer + "/consumer", {source_dir() / "examples/client.ini",
                                                   "in/launcher.exe", "in/shield.exe"});
  EXPECT_EQ(result.out, read_file(source_dir() / "tests/data/client.manifest")) << result.err;
}

// Every manifest under deploy/kubernetes against the Kubernetes schemas, offline.
TEST(Deploy, KubernetesManifestsMatchTheSchemas) {
  const std::string npm = source_dir() / "build/npm", deploy = source_dir() / "deploy/kubernetes";
  if (!fs::exists(npm + "/node_modules/kubernetes-models") || !have("node"))
    GTEST_SKIP() << "no Kubernetes validator: scripts/setup.sh installs it into " << npm;
  std::vector<std::string> args = {"TARNWICKET_NPM_DIR=" + npm, "node", deploy + "/validate.mjs"};
  for (const auto& entry : fs::directory_iterator(deploy))
    if (entry.path().extension() == ".yaml") args.push_back(entry.path());
  const auto result = run_tool(args);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("/daemonset.yaml: DaemonSet"), std::string::npos) << result.out;
}

// This host builds images but cannot run containers, so the image of
// scripts/container.sh runs from its mounted root as the image's user.
TEST(Container, ImageRelaysAsItsUserAndDrainsOnItsStopSignal) {
  if (::geteuid() != 0 || !have("buildah")) GTEST_SKIP() << "needs buildah and root";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime needs /proc, which the image's root lacks";
#endif
  TempDir dir;
  struct Image {  // removed with its containers when the test ends
    std::string name = "localhost/tarnwicket-test:" + std::to_string(::getpid());
    ~Image() { buildah({"rmi", "--force", name}); }
  } image;
  const auto built = run_tool(
      {source_dir() / "scripts/container.sh", build_package(dir.path() / "out"), image.name});
  ASSERT_EQ(built.status, 0) << built.err;
  const std::string root = buildah({"mount", buildah({"from", "--pull=never", image.name})});
  EXPECT_EQ(buildah({"inspect", "--format", "{{.OCIv1.Config.StopSignal}}", image.name}),
            "SIGQUIT");

  TcpUpstream upstream;
  const int port = free_port();
  const int admin = free_port();
  std::string ini = server_ini({{"g", "tcp", port, "127.0.0.1", upstream.port()}});
  ini.insert(ini.find('\n') + 1, "admin_port = " + std::to_string(admin) + "\n");
  std::ofstream(root + kConfig) << ini;
  Process server("/usr/sbin/chroot", {"--userspec=10001:10001", root, "/usr/bin/tarnwicket-server",
                                      "--config", kConfig});
  ASSERT_TRUE(server.wait_for_line("server started")) << server.stderr_text();
  EXPECT_EQ(proc_number("/proc/" + std::to_string(server.pid()) + "/status", "Uid:"), 10001);
  EXPECT_TRUE(echoes(tcp_connect(port).get(), "through the image"));
  // The HTTP library is loaded only now, from the image's own root.
  EXPECT_EQ(http_body(http_request(admin, "GET /healthz")), "ok\n");
  server.signal(SIGQUIT);  // nobody left: the drain ends at once
  EXPECT_EQ(server.wait_exit(), 0) << server.stderr_text();
}

}  // namespace
}  // namespace tarnwicket::test
