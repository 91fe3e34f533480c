#pragma once

// Network namespaces of a test's own, for transparent upstreams: a client, the
// gateway and a game server, joined by veth pairs with addresses of the
// test's own and routed as docs/operations.md says. Made by the constructor,
// deleted with their links by the destructor, whatever the test did between.

#include <netinet/in.h>

#include <array>
#include <string>

#include "support/net.h"
#include "support/process.h"

namespace tarnwicket::test {

class NetnsLab {
 public:
  enum Side { kClientSide, kGatewaySide, kServerSide };
  static constexpr const char* kClient = "10.201.1.2";     // the player
  static constexpr const char* kGateway = "10.201.1.1";    // the gateway, to the players
  static constexpr const char* kGatewayUp = "10.201.2.1";  // the gateway, to the game server
  static constexpr const char* kServer = "10.201.2.2";     // the game server

  NetnsLab();
  ~NetnsLab();
  NetnsLab(const NetnsLab&) = delete;
  NetnsLab& operator=(const NetnsLab&) = delete;

  // Empty once made; else why the namespaces could not be made.
  const std::string& failure() const { return failure_; }
  // Runs the server inside the gateway's namespace.
  ProcessOptions gateway_options() const {
    return {.wrapper = {"ip", "netns", "exec", ns(kGatewaySide)}};
  }
  const std::string& ns(Side side) const { return names_[side]; }

  // A client socket in the client's namespace, connected to the gateway's port.
  Fd client(int type, int port) const;
  // The game server's socket on its address, port 0: a TCP listener, or a UDP
  // socket; a receive time-out of 10 s bounds each accept and read.
  Fd game_server(int type) const;

 private:
  std::array<std::string, 3> names_;
  std::string failure_;
};

// Moves the calling thread into a namespace of the lab for the scope's life:
// the sockets it opens there stay there.
class InNamespace {
 public:
  InNamespace(const NetnsLab& lab, NetnsLab::Side side);
  ~InNamespace();
  InNamespace(const InNamespace&) = delete;
  InNamespace& operator=(const InNamespace&) = delete;

 private:
  Fd home_;
};

// Runs a shell command line to its end; its output, or nullopt when it failed.
std::optional<std::string> shell(const std::string& command);

}  // namespace tarnwicket::test
