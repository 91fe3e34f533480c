#include "config/client_manifest.h"

#include <gtest/gtest.h>

#include <string>

namespace tarnwicket {
namespace {

TEST(ClientManifest, ExampleByteForByte) {
  ClientConfig config;
  config.nodes = {"node-a", "node-b"};
  config.routes = {ClientRoute{"game", "game", "tcp", 7000, 7001, true}};
  EXPECT_EQ(make_client_manifest(config, "in/launcher.exe", "in/shield.exe"),
            "product_name=Tarnwicket\n"
            "mode=native-cpp\n"
            "version=1.0.0\n"
            "company_name=Tarnwicket\n"
            "file_description=Tarnwicket client\n"
            "copyright=\n"
            "original_filename=Tarnwicket.Launcher.exe\n"
            "internal_name=Tarnwicket.Launcher\n"
            "launcher=launcher.exe\n"
            "shield=shield.exe\n"
            "agent=tarnwicket-agent.exe\n"
            "agent_enabled=true\n"
            "output=Tarnwicket.Client.exe\n"
            "launch_order=shield,launcher\n"
            "shield_wait_ms=500\n"
            "cleanup=false\n"
            "nodes=node-a|node-b\n"
            "source_launcher=in/launcher.exe\n"
            "source_shield=in/shield.exe\n"
            "routes=1\n"
            "route.game=game,tcp,7000,7001,enabled\n");
}

// The manifest checks nothing: an invalid record is written as it stands.
TEST(ClientManifest, WritesWhateverTheRecordHolds) {
  ClientConfig config;
  config.native_mode = config.agent_enabled = false;
  config.routes = {ClientRoute{"a=b,c", "svc", "UDP", 0, 65536, false}};
  const std::string text = make_client_manifest(config, "a b/l.exe", "");
  EXPECT_NE(text.find("\nmode=legacy-payload\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nagent_enabled=false\n"), std::string::npos) << text;
  EXPECT_TRUE(
      text.ends_with("\nnodes=\nsource_launcher=a b/l.exe\nsource_shield=\nroutes=1\n"
                     "route.a=b,c=svc,UDP,0,65536,disabled\n"))
      << text;
  EXPECT_TRUE(make_client_manifest({}, "", "").ends_with("\nsource_shield=\nroutes=0\n"));
}

}  // namespace
}  // namespace tarnwicket
