#include "config/client_manifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace tarnwicket {
namespace {

ClientConfig example_config() {
  ClientConfig config;
  config.nodes = {"node-a", "node-b"};
  config.routes = {ClientRoute{"game", "game", "tcp", 7000, 7001, true}};
  return config;
}

TEST(ClientManifest, ExampleByteForByte) {
  EXPECT_EQ(make_client_manifest(example_config(), "in/launcher.exe", "in/shield.exe"),
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

TEST(ClientManifest, WritesWhateverTheRecordHolds) {
  ClientConfig config = example_config();
  config.native_mode = false;
  config.agent_enabled = false;
  config.cleanup = true;
  config.launch_order = "Launcher,Shield";
  config.shield_wait_ms = -1;
  config.nodes.clear();
  config.routes.push_back(ClientRoute{"a=b,c", "svc", "UDP", 0, 65536, false});

  const std::string text = make_client_manifest(config, "", "");
  for (const char* line :
       {"\nmode=legacy-payload\n", "\nagent_enabled=false\n", "\ncleanup=true\n",
        "\nlaunch_order=Launcher,Shield\n", "\nshield_wait_ms=-1\n", "\nnodes=\n",
        "\nsource_launcher=\nsource_shield=\nroutes=2\nroute.game=",
        "\nroute.a=b,c=svc,UDP,0,65536,disabled\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
}

TEST(ClientManifest, NoRoutesGivesTwentyLines) {
  ClientConfig config = example_config();
  config.routes.clear();
  const std::string text = make_client_manifest(config, "a b/l.exe", "s.exe");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 20);
  EXPECT_TRUE(text.ends_with("\nsource_launcher=a b/l.exe\nsource_shield=s.exe\nroutes=0\n"));
}

}  // namespace
}  // namespace tarnwicket
