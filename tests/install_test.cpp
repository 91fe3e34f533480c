// Installs this build into a temporary prefix and builds tests/consumer, a
// project of its own, against it with find_package(tarnwicket).
//
// The consumer is configured with the compiler, generator and flags recorded
// in this build's CMakeCache.txt, so a sanitizer build links its consumer
// with the same runtime.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "config/client_config.h"
#include "config/client_manifest.h"
#include "support/process.h"

namespace tarnwicket {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// "NAME:TYPE=VALUE" lines of the cache.
std::map<std::string, std::string> read_cache(const fs::path& build_dir) {
  std::map<std::string, std::string> cache;
  std::ifstream in(build_dir / "CMakeCache.txt");
  std::string line;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    const auto equals = line.find('=');
    if (line.empty() || line[0] == '#' || line[0] == '/' || colon == std::string::npos ||
        equals == std::string::npos || colon > equals) {
      continue;
    }
    cache[line.substr(0, colon)] = line.substr(equals + 1);
  }
  return cache;
}

void expect_ok(const test::RunResult& result, const char* step) {
  ASSERT_EQ(result.status, 0) << step << "\n" << result.out << result.err;
}

TEST(Install, ConsumerBuildsAgainstInstalledPackage) {
  const fs::path build_dir = TARNWICKET_BINARY_DIR;
  auto cache = read_cache(build_dir);
  const fs::path cmake = cache["CMAKE_COMMAND"];
  ASSERT_FALSE(cmake.empty());

  test::TempDir dir;
  const fs::path prefix = dir.path() / "prefix";
  expect_ok(
      test::run(cmake, {"--install", build_dir.string(), "--prefix", prefix.string()}, {}, 60s),
      "install");
  for (const char* file : {"bin/tarnwicket-server", "bin/tarnwicket-manifest",
                           "include/config/text.h", "include/config/client_manifest.h"}) {
    EXPECT_TRUE(fs::exists(prefix / file)) << file;
  }

  const fs::path consumer_build = dir.path() / "consumer";
  std::vector<std::string> configure = {
      "-S",
      (fs::path(TARNWICKET_SOURCE_DIR) / "tests" / "consumer").string(),
      "-B",
      consumer_build.string(),
      "-G",
      cache["CMAKE_GENERATOR"],
      "-DCMAKE_PREFIX_PATH=" + prefix.string(),
      "-DCMAKE_CXX_COMPILER=" + cache["CMAKE_CXX_COMPILER"],
      "-DCMAKE_BUILD_TYPE=" + cache["CMAKE_BUILD_TYPE"],
      "-DCMAKE_CXX_FLAGS=" + cache["CMAKE_CXX_FLAGS"],
      "-DCMAKE_EXE_LINKER_FLAGS=" + cache["CMAKE_EXE_LINKER_FLAGS"]};
  if (!cache["CMAKE_MAKE_PROGRAM"].empty()) {
    configure.push_back("-DCMAKE_MAKE_PROGRAM=" + cache["CMAKE_MAKE_PROGRAM"]);
  }
  expect_ok(test::run(cmake, configure, {}, 100s), "configure");
  expect_ok(test::run(cmake, {"--build", consumer_build.string()}, {}, 120s), "build");

  const fs::path example = fs::path(TARNWICKET_SOURCE_DIR) / "examples" / "client.ini";
  const auto result = test::run(consumer_build / "consumer",
                                {example.string(), "in/launcher.exe", "in/shield.exe"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            make_client_manifest(load_client_config(example), "in/launcher.exe", "in/shield.exe"));
}

}  // namespace
}  // namespace tarnwicket
