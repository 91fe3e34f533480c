// Installs this build into a temporary prefix and builds tests/consumer, a
// project of its own, against it with find_package(tarnwicket). The consumer
// gets the compiler, generator and flags of this build's CMakeCache.txt, so a
// sanitizer build links its consumer with the same runtime.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/process.h"

namespace tarnwicket::test {
namespace {

namespace fs = std::filesystem;

TEST(Install, ConsumerBuildsAgainstInstalledPackage) {
  const fs::path build_dir = TARNWICKET_BINARY_DIR;
  const auto step = [&](const std::vector<std::string>& args) {
    const auto result = run(TARNWICKET_CMAKE_COMMAND, args, {}, 120s);
    EXPECT_EQ(result.status, 0) << args[0] << "\n" << result.out << result.err;
    return result.status == 0;
  };
  TempDir dir;
  const fs::path prefix = dir.path() / "prefix";
  const fs::path consumer = dir.path() / "consumer";
  ASSERT_TRUE(step({"--install", build_dir.string(), "--prefix", prefix.string()}));

  std::vector<std::string> configure = {"-S", (source_dir() / "tests/consumer").string(), "-B",
                                        consumer.string(),
                                        "-DCMAKE_PREFIX_PATH=" + prefix.string()};
  std::ifstream cache(build_dir / "CMakeCache.txt");
  for (std::string line; std::getline(cache, line);) {  // NAME:TYPE=VALUE
    for (const std::string name :
         {"CMAKE_GENERATOR:", "CMAKE_CXX_COMPILER:", "CMAKE_BUILD_TYPE:", "CMAKE_CXX_FLAGS:",
          "CMAKE_EXE_LINKER_FLAGS:", "CMAKE_MAKE_PROGRAM:"}) {
      const std::string value = line.substr(line.find('=') + 1);
      if (!line.starts_with(name) || value.empty()) continue;
      if (name == "CMAKE_GENERATOR:") configure.insert(configure.end(), {"-G", value});
      if (name != "CMAKE_GENERATOR:")
        configure.push_back("-D" + name.substr(0, name.size() - 1) + "=" + value);
    }
  }
  ASSERT_TRUE(step(configure));
  ASSERT_TRUE(step({"--build", consumer.string()}));

  const auto result = run(consumer / "consumer", {(source_dir() / "examples/client.ini").string(),
                                                  "in/launcher.exe", "in/shield.exe"});
  std::ifstream golden(source_dir() / "tests/data/client.manifest");
  EXPECT_EQ(result.out, std::string(std::istreambuf_iterator<char>(golden), {})) << result.err;
}

}  // namespace
}  // namespace tarnwicket::test
