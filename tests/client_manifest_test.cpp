#include "config/client_manifest.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "support/process.h"

namespace tarnwicket {
namespace {

TEST(ClientManifest, DocumentedExample) {
  ClientConfig config;
  config.nodes = {"node-a", "node-b"};
  config.routes = {ClientRoute{"game", "game", "tcp", 7000, 7001, true}};
  std::ifstream golden(test::source_dir() / "tests" / "data" / "example.manifest");
  EXPECT_EQ(make_client_manifest(config, "in/launcher.exe", "in/shield.exe"),
            std::string(std::istreambuf_iterator<char>(golden), {}));
}

// The manifest checks nothing: an invalid record is written as it stands.
TEST(ClientManifest, WritesWhateverTheRecordHolds) {
  ClientConfig config;
  config.native_mode = config.agent_enabled = false;
  config.launch_order = "Launcher,Shield";
  config.shield_wait_ms = -1;
  config.routes = {ClientRoute{"a=b,c", "svc", "UDP", 0, 65536, false}};
  const std::string text = make_client_manifest(config, "a b/l.exe", "");
  for (const char* line : {"\nmode=legacy-payload\n", "\nagent_enabled=false\n",
                           "\nlaunch_order=Launcher,Shield\nshield_wait_ms=-1\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  }
  EXPECT_TRUE(
      text.ends_with("\nnodes=\nsource_launcher=a b/l.exe\nsource_shield=\nroutes=1\n"
                     "route.a=b,c=svc,UDP,0,65536,disabled\n"))
      << text;
  EXPECT_TRUE(make_client_manifest({}, "", "").ends_with("\nsource_shield=\nroutes=0\n"));
}

}  // namespace
}  // namespace tarnwicket
