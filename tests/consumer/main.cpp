// Prints the manifest of a client configuration: consumer <client.ini> <launcher> <shield>.

#include <exception>
#include <iostream>

#include "config/client_config.h"
#include "config/client_manifest.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: consumer <client.ini> <launcher> <shield>\n";
    return 2;
  }
  try {
    const tarnwicket::ClientConfig config = tarnwicket::load_client_config(argv[1]);
    std::cout << tarnwicket::make_client_manifest(config, argv[2], argv[3]);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << error.what() << '\n';
    return 1;
  }
}
