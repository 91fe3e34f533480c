// Prints the manifest of a client configuration: consumer <client.ini> <launcher> <shield>.
// Includes every installed header, so that each must compile from the installed tree.

#include <iostream>

#include "config/client_config.h"
#include "config/client_manifest.h"
#include "config/ini.h"
#include "config/server_config.h"
#include "config/text.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  // A loader error escapes main: the test sees a failed run.
  std::cout << tarnwicket::make_client_manifest(tarnwicket::load_client_config(argv[1]), argv[2],
                                                argv[3]);
  return 0;
}
